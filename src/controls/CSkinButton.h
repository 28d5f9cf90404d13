#pragma once

// A push button that draws itself from up to three images (in, out, disabled), one key colour of each drawn
// transparent over the parent's pixels, with a thin raised border while the mouse is over it and a sunken one while
// it is pressed. The captions of the system's buttons are painted into the images, so the buttons carry no text.
//
// Qt counterparts of the dialog-manager rules:
// - The default-button flag is QPushButton's own (setDefault, and the temporary default of a focused autoDefault
//   button): it decides where Enter goes and is not drawn. autoDefault keeps Qt's value (true inside a QDialog).
// - The button paints no background and Qt composes the parent's pixels beneath it; the parent is thus always
//   shown as it is now, never as a stale copy, and nothing needs to be read back.
// - A focused button that is disabled hands the focus to the next tab stop of its window, or to its parent when
//   there is none.

#include <QColor>
#include <QImage>
#include <QPushButton>
#include <QRect>

class QPainter;

class CSkinButton : public QPushButton {
    Q_OBJECT

  public:
    // SetBitmaps results.
    static constexpr int kOk = 0;
    static constexpr int kSizeUnreadable = 1;
    static constexpr int kMaskFailed = 2;

    explicit CSkinButton(QWidget* parent = nullptr);
    ~CSkinButton() override;

    // Images by resource id, read from ":/bitmaps/<id>.png" (and "<id>@2x.png" for High-DPI screens, when
    // present). The in image is required; an out or disabled id of 0 means none. An id that cannot be loaded gives no
    // image for its slot (no in image: only the hover border is drawn).
    int SetBitmaps(int inId, QColor inKey, int outId = 0, QColor outKey = QColor(), int disabledId = 0,
                   QColor disabledKey = QColor());

    // Images given directly; nullptr means none. Every image held before is released first. With no in image the
    // button is only repainted. Returns kOk, kSizeUnreadable when a given image is null (no size), or kMaskFailed
    // when its transparent copy cannot be made; on failure every image is released and the slots stay empty.
    int SetBitmaps(const QImage* in, QColor inKey, const QImage* out = nullptr, QColor outKey = QColor(),
                   const QImage* disabled = nullptr, QColor disabledKey = QColor());

    bool IsHovering() const { return m_hover; }

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool event(QEvent* event) override;
    bool focusNextPrevChild(bool next) override;

  private:
    enum Slot { kIn = 0, kOut = 1, kDisabled = 2, kSlotCount = 3 };
    struct Image {
        QImage image;  // premultiplied ARGB; key-coloured pixels already made transparent
        int width = 0;
        int height = 0;
        QColor key;
        QImage sharp;  // the same at twice the resolution (device pixel ratio 2), or null
    };

    void ReleaseImages();
    void EndHover();
    int ChooseSlot() const;
    void DrawImage(QPainter& painter, const QRect& buttonRect);
    void DrawBorder(QPainter& painter, const QRect& rect);

    bool m_hover = false;
    bool m_pressed = false;
    bool m_disabled = false;
    Image m_images[kSlotCount];
};
