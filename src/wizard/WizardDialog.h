#pragma once

// A dialog that shows one of its pages at a time in its page area and moves between them with Back and Next.
// The pages are not owned: the caller makes them, adds them before the run and destroys them after it.
// The run ends only with Finish (result 12325) or the cancel command (result 2: Exit, Escape, the close box).

#include <QDialog>
#include <QHash>
#include <QPointer>
#include <vector>

#include "WizardPage.h"

class QPushButton;

class WizardDialog : public QDialog {
    Q_OBJECT
  public:
    explicit WizardDialog(QWidget* owner);
    ~WizardDialog() override;

    // Appends `page` and records `dialogId` in it; ignored once the run has begun.
    void AddPage(WizardPage* page, int dialogId);
    // The pages still alive, in list order.
    std::vector<WizardPage*> Pages() const;
    // The first page in list order whose active flag is set, or null.
    WizardPage* ActivePage() const;

    // A frame control by its id (buttons 12323, 12324, 12325, 2, 1040; banner 1016; page area 1013).
    QWidget* Item(int id) const;
    QPushButton* Button(int id) const;

    // Runs modally; the page windows are destroyed when the run ends. Returns 12325 or 2.
    int exec() override;

    // The commands, also reachable from the buttons and keys.
    void OnBack();
    void OnNext();
    void OnFinish();
    void OnCancelCommand();
    void OnPageCancel();

    // Makes `id` the default button (the one Enter presses).
    void SetDefaultButton(int id);

    // Destroys the windows of the pages that agree (OnKillActive), in list order.
    void DestroyPageWindows();

  protected:
    void SetPageAreaId(int id) { m_pageAreaId = id; }
    // Registers a control under its id for Item().
    template <typename T>
    T* AddItem(int id, T* widget) {
        m_items.insert(id, widget);
        return widget;
    }
    // Runs once when the dialog is first shown in a run: shows the first page and sets Next as the default.
    virtual void OnInitDialog();

    void showEvent(QShowEvent* event) override;
    void reject() override;

  private:
    bool ActivatePage(WizardPage* page);
    bool DeactivateActivePage();
    void ShowFirstPage();
    void FocusFirstControl(QWidget* window);
    void SetButtonEnabled(int id, bool enabled);
    // Target of a Back or Next answer: 0 = the neighbour at `step`, another id = the first page with it.
    WizardPage* TargetPage(WizardPage* from, int answer, int step) const;

    std::vector<QPointer<WizardPage>> m_pages;
    QHash<int, QPointer<QWidget>> m_items;
    int m_pageAreaId = 0;
    bool m_initialised = false;
    bool m_focusLeftPage = false;
};
