#pragma once

// A push button that draws itself from up to three images (in, out, disabled), one key colour of each drawn
// transparent, with a thin raised border while the mouse is over it and a sunken one while it is pressed. The
// captions of the system's buttons are painted into the images, so the buttons normally carry no text.
//
// Qt counterparts of the dialog-manager rules:
// - The default-button flag mirrors QPushButton::isDefault(). The dialog changes that property itself (setDefault,
//   and the temporary default of a focused autoDefault button), so the flag is read back at every paint.
//   autoDefault keeps Qt's value (true inside a QDialog): that is the answer "I am a push button that may be the
//   default" which a dialog asks its buttons before Enter is routed.
// - With DrawTransparent the button paints no background and Qt composes the parent's pixels beneath it; the
//   parent is thus always shown as it is now, never as a stale copy, and nothing needs to be read back.
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
    // image for its slot (no in image: nothing but background, border and caption is drawn).
    int SetBitmaps(int inId, QColor inKey, int outId = 0, QColor outKey = QColor(), int disabledId = 0,
                   QColor disabledKey = QColor());

    // Images given directly; nullptr means none. Every image held before is released first. With no in image the
    // button is only repainted. Returns kOk, kSizeUnreadable when a given image is null (no size), or kMaskFailed
    // when its transparent copy cannot be made; on failure every image is released and the slots stay empty.
    int SetBitmaps(const QImage* in, QColor inKey, const QImage* out = nullptr, QColor outKey = QColor(),
                   const QImage* disabled = nullptr, QColor disabledKey = QColor());

    // Draw over the parent's pixels instead of the button-face fill.
    void DrawTransparent(bool repaint = false);

    void SetFlat(bool flat);
    void SetAlwaysTrack(bool alwaysTrack) { m_alwaysTrack = alwaysTrack; }
    bool IsHovering() const { return m_hover; }

  protected:
    // Both return 0; subclasses may draw their own.
    virtual int DrawBackground(QPainter& painter, const QRect& rect);
    virtual int DrawBorder(QPainter& painter, const QRect& rect);

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
    enum ColourIndex { kBackIn = 0, kTextIn, kBackOut, kTextOut, kBackFocus, kTextFocus, kColourCount };

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
    void DrawImage(QPainter& painter, const QRect& buttonRect, QRect& captionRect);
    void DrawCaption(QPainter& painter, QRect captionRect);
    void DrawFocusRect(QPainter& painter, const QRect& rect);

    bool m_showDisabledImage = true;
    bool m_flat = true;
    bool m_hover = false;
    bool m_drawTransparent = false;
    bool m_pressed = false;
    bool m_focused = false;
    bool m_disabled = false;
    bool m_defaultButton = false;
    quint8 m_align = 0;  // 0: image left, caption right of it (the only alignment in use)
    bool m_drawBorder = true;
    bool m_flatFocus = false;
    QColor m_colors[kColourCount];
    bool m_alwaysTrack = true;
    Image m_images[kSlotCount];
};
