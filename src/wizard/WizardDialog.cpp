#include "WizardDialog.h"

#include <QPushButton>
#include <utility>

#include "WizardIds.h"
#include "WizardPage.h"

using namespace WizardIds;

WizardDialog::WizardDialog(QWidget* owner) : QDialog(owner) {}

WizardDialog::~WizardDialog() {
    DestroyPageWindows();
}

void WizardDialog::AddPage(WizardPage* page, int dialogId) {
    if (page == nullptr || m_initialised) {
        return;
    }
    page->SetDialogId(dialogId);
    m_pages.push_back(page);
}

std::vector<WizardPage*> WizardDialog::Pages() const {
    std::vector<WizardPage*> pages;
    for (const QPointer<WizardPage>& page : m_pages) {
        if (page != nullptr) {
            pages.push_back(page);
        }
    }
    return pages;
}

WizardPage* WizardDialog::ActivePage() const {
    for (WizardPage* page : Pages()) {
        if (page->IsActive()) {
            return page;
        }
    }
    return nullptr;
}

QWidget* WizardDialog::Item(int id) const {
    return m_items.value(id);
}

QPushButton* WizardDialog::Button(int id) const {
    return qobject_cast<QPushButton*>(Item(id));
}

int WizardDialog::exec() {
    const int result = QDialog::exec();
    DestroyPageWindows();
    return result;
}

void WizardDialog::showEvent(QShowEvent* event) {
    if (!m_initialised) {
        m_initialised = true;
        OnInitDialog();
    }
    QDialog::showEvent(event);
}

void WizardDialog::OnInitDialog() {
    ShowFirstPage();
    SetDefaultButton(kNext);
}

void WizardDialog::SetDefaultButton(int id) {
    for (int buttonId : {kBack, kNext, kFinish, kCancel, kPageCancel}) {
        if (QPushButton* button = Button(buttonId)) {
            button->setDefault(buttonId == id);
        }
    }
}

void WizardDialog::SetButtonEnabled(int id, bool enabled) {
    if (QWidget* button = Item(id)) {
        button->setEnabled(enabled);
    }
}

bool WizardDialog::DeactivateActivePage() {
    WizardPage* active = ActivePage();
    if (active == nullptr) {
        return true;
    }
    if (!active->OnKillActive()) {
        return false;
    }
    if (QWidget* window = active->Window()) {
        // Qt would hand the focus of a hidden page to the next button, which Enter would then press instead of
        // the default one; the page to be shown takes it instead (ActivatePage).
        if (QWidget* focus = focusWidget(); focus != nullptr && window->isAncestorOf(focus)) {
            focus->clearFocus();
            m_focusLeftPage = true;
        }
        window->hide();
    }
    active->SetActive(false);
    return true;
}

bool WizardDialog::ActivatePage(WizardPage* page) {
    if (!page->IsCreated()) {
        if (!page->CreatePageWindow(this)) {
            return false;
        }
        if (!page->OnCreatePage()) {
            return false;
        }
    }
    if (!DeactivateActivePage()) {
        return false;
    }
    QWidget* window = page->Window();
    if (QWidget* area = Item(m_pageAreaId)) {
        window->move(area->pos());
    }
    window->setEnabled(true);
    window->show();
    window->repaint();
    if (std::exchange(m_focusLeftPage, false)) {
        FocusFirstControl(window);
    }
    page->OnSetActive();
    page->SetActive(true);
    return true;
}

void WizardDialog::FocusFirstControl(QWidget* window) {
    // Without a control to take it the focus stays with the dialog, so Enter reaches the default button.
    for (QWidget* child : window->findChildren<QWidget*>()) {
        if ((child->focusPolicy() & Qt::TabFocus) != 0 && child->isVisible() && child->isEnabled()) {
            child->setFocus(Qt::TabFocusReason);
            return;
        }
    }
}

void WizardDialog::ShowFirstPage() {
    if (!DeactivateActivePage()) {
        return;
    }
    SetButtonEnabled(kBack, false);
    const std::vector<WizardPage*> pages = Pages();
    const bool several = pages.size() > 1;
    SetButtonEnabled(kFinish, !several);
    SetButtonEnabled(kNext, several);
    if (!pages.empty()) {
        ActivatePage(pages.front());
    }
}

WizardPage* WizardDialog::TargetPage(WizardPage* from, int answer, int step) const {
    const std::vector<WizardPage*> pages = Pages();
    if (answer == 0) {
        for (size_t i = 0; i < pages.size(); ++i) {
            if (pages[i] == from) {
                const auto target = static_cast<std::ptrdiff_t>(i) + step;
                if (target < 0 || target >= static_cast<std::ptrdiff_t>(pages.size())) {
                    return nullptr;
                }
                return pages[static_cast<size_t>(target)];
            }
        }
        return nullptr;
    }
    for (WizardPage* page : pages) {
        if (page->DialogId() == answer) {
            return page;
        }
    }
    return nullptr;
}

void WizardDialog::OnBack() {
    WizardPage* active = ActivePage();
    if (active == nullptr) {
        return;
    }
    const int answer = active->OnWizardBack();
    if (answer == -1) {
        return;
    }
    WizardPage* target = TargetPage(active, answer, -1);
    if (target == nullptr || !ActivatePage(target)) {
        return;
    }
    if (target == Pages().front()) {
        SetButtonEnabled(kBack, false);
        SetButtonEnabled(kFinish, false);
    }
    SetButtonEnabled(kNext, true);
    SetDefaultButton(kNext);
}

void WizardDialog::OnNext() {
    WizardPage* active = ActivePage();
    if (active == nullptr) {
        return;
    }
    const int answer = active->OnWizardNext();
    if (answer == -1) {
        return;
    }
    WizardPage* target = TargetPage(active, answer, +1);
    if (target == nullptr || !ActivatePage(target)) {
        return;
    }
    SetButtonEnabled(kBack, true);
    if (target == Pages().back()) {
        SetButtonEnabled(kNext, false);
        SetButtonEnabled(kFinish, true);
        SetDefaultButton(kFinish);
    } else {
        SetDefaultButton(kNext);
    }
}

void WizardDialog::OnFinish() {
    if (WizardPage* active = ActivePage(); active != nullptr && !active->OnKillActive()) {
        return;
    }
    for (WizardPage* page : Pages()) {
        if (page->IsCreated() && !page->OnWizardFinish()) {
            return;
        }
    }
    done(kFinish);
}

void WizardDialog::OnCancelCommand() {
    for (WizardPage* page : Pages()) {
        if (page->IsCreated() && !page->OnQueryCancel()) {
            return;
        }
    }
    done(kCancel);
}

void WizardDialog::reject() {
    OnCancelCommand();
}

void WizardDialog::OnPageCancel() {
    if (WizardPage* active = ActivePage()) {
        active->OnPageCancel();
    }
    SetDefaultButton(kNext);
}

void WizardDialog::DestroyPageWindows() {
    for (WizardPage* page : Pages()) {
        if (page->Window() == nullptr || !page->OnKillActive()) {
            continue;
        }
        page->OnDestroyPage();
        page->DestroyPageWindow();
    }
    m_initialised = false;
}
