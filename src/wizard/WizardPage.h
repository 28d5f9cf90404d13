#pragma once

// Base of the Setup Wizard's pages. A page object is made by the caller and outlives the wizard run; its window
// (a child widget of the frame) is made the first time the frame activates the page and lives, hidden between
// activations, until the frame destroys its page windows at the end of the run. The page's stored values live
// in the page object, so a page that was never shown keeps the values its constructor gave it.

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSize>
#include <QWidget>

class WizardDialog;

class WizardPage : public QObject {
    Q_OBJECT
  public:
    // `pageSize` is the page window's size in pixels.
    WizardPage(int dialogId, QSize pageSize);
    ~WizardPage() override;

    int DialogId() const { return m_dialogId; }
    void SetDialogId(int dialogId) { m_dialogId = dialogId; }
    WizardDialog* Frame() const { return m_frame; }
    bool IsCreated() const { return m_window != nullptr; }
    bool IsActive() const { return m_active; }
    void SetActive(bool active) { m_active = active; }
    // The page window; null until the page is created.
    QWidget* Window() const { return m_window; }
    // A control of the page window by its id; null when there is none or the window does not exist.
    QWidget* Item(int id) const;

    // Makes the page window as a hidden child of `frame` and initialises it. Returns false when the window
    // cannot be made.
    bool CreatePageWindow(WizardDialog* frame);
    // Destroys the page window.
    void DestroyPageWindow();

    // The page hooks, in the order the frame knows them.
    virtual bool OnCreatePage() { return true; }
    virtual void OnDestroyPage() {}
    virtual bool OnKillActive() { return true; }
    virtual void OnSetActive() {}
    virtual bool OnQueryCancel() { return true; }
    // Dialog id of the page to go to, 0 for the neighbour in the list, -1 to stay.
    virtual int OnWizardBack() { return 0; }
    virtual int OnWizardNext() { return 0; }
    virtual void OnPageCancel() {}
    virtual bool OnWizardFinish() { return true; }

  protected:
    // Builds the page's controls into the new page window.
    virtual void CreateControls(QWidget* window) = 0;
    // Window initialisation, once per page window: by default the stored values go to the controls.
    virtual void OnInitDialog() { UpdateData(false); }
    // Data exchange: controls to stored values when `saveAndValidate`, else stored values to controls.
    virtual void UpdateData(bool saveAndValidate) { (void)saveAndValidate; }

    // Registers a control under its id for Item().
    template <typename T>
    T* AddItem(int id, T* widget) {
        m_items.insert(id, widget);
        return widget;
    }

    // Shows each of `shown` (id, x) at (x, 435), 47 x 64 pixels, and hides the `hidden` frame buttons.
    void ArrangeFrameButtons(std::initializer_list<std::pair<int, int>> shown, std::initializer_list<int> hidden);

  private:
    int m_dialogId;
    QSize m_pageSize;
    WizardDialog* m_frame = nullptr;
    bool m_active = false;
    QPointer<QWidget> m_window;
    QHash<int, QPointer<QWidget>> m_items;
};
