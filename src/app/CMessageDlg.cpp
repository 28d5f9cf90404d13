#include "CMessageDlg.h"

#include <QLabel>
#include <QProgressBar>
#include <QShowEvent>
#include <QTimer>
#include <QTimerEvent>

#include "AppStyle.h"
#include "DialogUnits.h"
#include "WindowMessages.h"

const char* const CMessageDlg::kSearchText = "Searching devices, please wait!";

CMessageDlg::CMessageDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      m_progress(new QProgressBar(this)),
      m_text(new QLabel(QStringLiteral("Static"), this)) {
    setObjectName(QStringLiteral("CMessageDlg"));
    setWindowTitle(QStringLiteral("Status"));
    setModal(true);
    setFixedSize(DialogUnits::ToPixelsX(189), DialogUnits::ToPixelsY(66));
    ApplyDialogFont(*this);

    m_text->setObjectName(QStringLiteral("1042"));
    // Two lines of the original font hold every status text; this font is wider and needs a third, so the text
    // reaches down to the bar.
    m_text->setGeometry(DialogUnits::ToPixels(18, 14, 155, 26));
    m_text->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_text->setWordWrap(true);

    m_progress->setObjectName(QStringLiteral("1041"));
    m_progress->setGeometry(DialogUnits::ToPixels(19, 41, 149, 9));
    m_progress->setRange(0, 100);
    m_progress->setValue(0);
    m_progress->setTextVisible(false);
}

CMessageDlg::~CMessageDlg() = default;

int CMessageDlg::DoModal() {
    OnInitDialog();
    return exec();
}

void CMessageDlg::OnInitDialog() {
    UpdateData();
    if (SearchMode == 0) {
        return;
    }
    m_statusText = QString::fromLatin1(kSearchText);
    m_timerPeriodMs = SearchDurationMs / kSearchSteps;
    // A period below 1 ms would still be a zero timer that fires on every loop pass; that is what was asked.
    m_searchTimer.start(m_timerPeriodMs < 0 ? 0 : m_timerPeriodMs, this);
    m_progress->setRange(0, kSearchSteps);
    m_progress->setValue(0);
    UpdateData();
}

void CMessageDlg::UpdateData() {
    m_text->setText(m_statusText);
}

void CMessageDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (m_onOpened && !event->spontaneous()) {
        // Deferred to the modal loop, so whoever waits for the dialog finds the run started.
        QTimer::singleShot(0, this, [this] {
            if (auto opened = std::move(m_onOpened)) {
                m_onOpened = nullptr;
                opened();
            }
        });
    }
}

bool CMessageDlg::event(QEvent* event) {
    switch (static_cast<int>(event->type())) {
        case WindowMessages::kStatusClose:
            done(kResultOk);
            break;
        case WindowMessages::kStatusText:
            m_statusText = static_cast<StatusTextEvent*>(event)->Text();
            break;
        case WindowMessages::kStatusProgress: {
            const int position = static_cast<StatusProgressEvent*>(event)->Position();
            // Like the native bar, a position outside the range is pinned to it.
            m_progress->setValue(std::clamp(position, m_progress->minimum(), m_progress->maximum()));
            UpdateData();
            break;
        }
        default:
            return QDialog::event(event);
    }
    event->accept();
    return true;
}

void CMessageDlg::timerEvent(QTimerEvent* event) {
    if (event->timerId() == m_searchTimer.timerId()) {
        OnTimer();
        return;
    }
    QDialog::timerEvent(event);
}

void CMessageDlg::OnTimer() {
    m_progress->setValue(m_progress->value() + 1);
    if (m_progress->value() == kSearchSteps) {
        m_searchTimer.stop();
        close();  // the window's close request: a cancel
    }
}

void CMessageDlg::reject() {
    m_searchTimer.stop();
    done(kResultCancel);
}
