#include "WizardPage.h"

#include "DialogColours.h"
#include "WizardDialog.h"
#include "WizardIds.h"

WizardPage::WizardPage(int dialogId, QSize pageSize) : m_dialogId(dialogId), m_pageSize(pageSize) {}

WizardPage::~WizardPage() {
    DestroyPageWindow();
}

QWidget* WizardPage::Item(int id) const {
    return m_items.value(id);
}

bool WizardPage::CreatePageWindow(WizardDialog* frame) {
    if (m_window != nullptr || frame == nullptr) {
        return false;
    }
    auto* window = new QWidget(frame);
    window->hide();
    window->setFixedSize(m_pageSize);
    QPalette palette = window->palette();
    palette.setColor(QPalette::Window, kDialogBackground);
    palette.setColor(QPalette::WindowText, Qt::black);
    window->setPalette(palette);
    window->setAutoFillBackground(true);
    // A new child goes below its siblings, so the frame's buttons stay above a page that reaches over them.
    window->lower();
    m_window = window;
    m_frame = frame;
    CreateControls(window);
    OnInitDialog();
    return true;
}

void WizardPage::DestroyPageWindow() {
    delete m_window.data();
    m_window = nullptr;
    m_items.clear();
    m_active = false;
}

void WizardPage::ArrangeFrameButtons(std::initializer_list<std::pair<int, int>> shown,
                                     std::initializer_list<int> hidden) {
    if (m_frame == nullptr) {
        return;
    }
    for (int id : hidden) {
        if (QWidget* button = m_frame->Item(id)) {
            button->hide();
        }
    }
    for (const auto& [id, x] : shown) {
        if (QWidget* button = m_frame->Item(id)) {
            button->setGeometry(x, WizardIds::kButtonY, WizardIds::kButtonWidth, WizardIds::kButtonHeight);
            button->show();
            button->raise();
        }
    }
}
