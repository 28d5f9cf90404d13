#include "CSkinButton.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPalette>
#include <algorithm>
#include <span>

namespace {

// Key-coloured pixels become fully transparent, once, so that drawing is a plain alpha blend: the same picture
// as masking the key out and painting the rest over the background. A null result means the copy could not be
// allocated. The source is shared, not copied, when it is already premultiplied and holds no key colour.
QImage MakeTransparent(const QImage& source, const QColor& key) {
    QImage image = source.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    if (image.isNull() || !key.isValid()) {
        return image;
    }
    const QRgb keyPixel = key.rgb();  // opaque
    const auto width = static_cast<std::size_t>(image.width());
    for (int y = 0; y < image.height(); ++y) {
        std::span<const QRgb> row(reinterpret_cast<const QRgb*>(image.constScanLine(y)), width);
        if (std::find(row.begin(), row.end(), keyPixel) == row.end()) {
            continue;
        }
        uchar* bits = image.scanLine(y);  // detaches from the source on the first write
        if (bits == nullptr) {
            return QImage();
        }
        std::span<QRgb> writable(reinterpret_cast<QRgb*>(bits), width);
        std::replace(writable.begin(), writable.end(), keyPixel, QRgb(0));
    }
    return image;
}

void FillPixels(QPainter& painter, int x, int y, int width, int height, const QColor& colour) {
    if (width > 0 && height > 0) {
        painter.fillRect(QRect(x, y, width, height), colour);
    }
}

// Top and left edges in one colour, right and bottom (which own the corners they share) in the other.
void Frame3d(QPainter& painter, const QRect& r, const QColor& topLeft, const QColor& bottomRight) {
    FillPixels(painter, r.x(), r.y(), r.width() - 1, 1, topLeft);
    FillPixels(painter, r.x(), r.y(), 1, r.height() - 1, topLeft);
    FillPixels(painter, r.x() + r.width() - 1, r.y(), 1, r.height(), bottomRight);
    FillPixels(painter, r.x(), r.y() + r.height() - 1, r.width(), 1, bottomRight);
}

QColor SystemColour(const QWidget* widget, QPalette::ColorRole role) {
    return widget->palette().color(QPalette::Active, role);
}

}  // namespace

CSkinButton::CSkinButton(QWidget* parent) : QPushButton(parent) {
    // Hover needs the moves without a button held.
    setMouseTracking(true);
    // Connected first, so the focus has moved before anyone else hears of the click.
    connect(this, &QAbstractButton::clicked, this, [this] { setFocus(Qt::MouseFocusReason); });
}

CSkinButton::~CSkinButton() = default;

int CSkinButton::SetBitmaps(int inId, QColor inKey, int outId, QColor outKey, int disabledId, QColor disabledKey) {
    const auto load = [](int id) { return id == 0 ? QImage() : QImage(QStringLiteral(":/bitmaps/%1.png").arg(id)); };
    const QImage in = load(inId);
    const QImage out = load(outId);
    const QImage disabled = load(disabledId);
    const int result = SetBitmaps(in.isNull() ? nullptr : &in, inKey, out.isNull() ? nullptr : &out, outKey,
                                  disabled.isNull() ? nullptr : &disabled, disabledKey);
    // A face drawn at twice the size, where there is one, keeps the button sharp at a device pixel ratio of 2;
    // one of any other size is ignored rather than squeezed.
    const int ids[kSlotCount] = {inId, outId, disabledId};
    for (int slot = kIn; slot < kSlotCount && result == kOk; ++slot) {
        Image& image = m_images[slot];
        if (ids[slot] == 0 || image.image.isNull()) {
            continue;
        }
        const QImage sharp(QStringLiteral(":/bitmaps/%1@2x.png").arg(ids[slot]));
        if (sharp.width() == 2 * image.width && sharp.height() == 2 * image.height) {
            image.sharp = MakeTransparent(sharp, image.key);
            image.sharp.setDevicePixelRatio(2.0);
        }
    }
    return result;
}

int CSkinButton::SetBitmaps(const QImage* in, QColor inKey, const QImage* out, QColor outKey, const QImage* disabled,
                            QColor disabledKey) {
    ReleaseImages();
    const QImage* given[kSlotCount] = {in, out, disabled};
    const QColor keys[kSlotCount] = {inKey, outKey, disabledKey};
    int result = kOk;
    if (in != nullptr) {
        for (int slot = kIn; slot < kSlotCount && result == kOk; ++slot) {
            if (given[slot] == nullptr) {
                continue;
            }
            if (given[slot]->isNull()) {
                result = kSizeUnreadable;
                break;
            }
            QImage image = MakeTransparent(*given[slot], keys[slot]);
            if (image.isNull()) {
                result = kMaskFailed;
                break;
            }
            m_images[slot] = Image{std::move(image), given[slot]->width(), given[slot]->height(), keys[slot], QImage()};
        }
    }
    if (result != kOk) {
        ReleaseImages();
    }
    // Also on failure: the images on screen are no longer held.
    update();
    return result;
}

void CSkinButton::ReleaseImages() {
    for (Image& image : m_images) {
        image = Image{};
    }
}

void CSkinButton::EndHover() {
    if (m_hover) {
        m_hover = false;
        update();
    }
}

void CSkinButton::DrawBorder(QPainter& painter, const QRect& rect) {
    const QColor light = SystemColour(this, QPalette::Light);
    const QColor shadow = SystemColour(this, QPalette::Dark);
    if (m_pressed) {
        Frame3d(painter, rect, shadow, light);
    } else {
        Frame3d(painter, rect, light, shadow);
    }
}

int CSkinButton::ChooseSlot() const {
    if (m_pressed || m_hover) {
        return kIn;
    }
    if (m_disabled) {
        return m_images[kDisabled].image.isNull() ? kIn : kDisabled;
    }
    return m_images[kOut].image.isNull() ? kIn : kOut;
}

void CSkinButton::DrawImage(QPainter& painter, const QRect& buttonRect) {
    const Image& image = m_images[ChooseSlot()];
    QPoint place(buttonRect.left() + (buttonRect.width() - image.width) / 2,
                 buttonRect.top() + (buttonRect.height() - image.height) / 2);
    if (m_pressed) {
        place += QPoint(1, 1);
    }
    const bool highDensity = painter.device() != nullptr && painter.device()->devicePixelRatioF() > 1.0;
    const QImage& face = highDensity && !image.sharp.isNull() ? image.sharp : image.image;
    painter.drawImage(QRect(place, QSize(image.width, image.height)), face);
}

void CSkinButton::paintEvent(QPaintEvent* /*event*/) {
    m_pressed = isDown();
    m_disabled = !isEnabled();
    // No background: Qt has already composed the parent's pixels beneath.
    QPainter painter(this);
    if (m_pressed || m_hover) {
        DrawBorder(painter, rect());
    }
    if (!m_images[kIn].image.isNull()) {
        DrawImage(painter, rect());
    }
}

void CSkinButton::mouseMoveEvent(QMouseEvent* event) {
    QPushButton::mouseMoveEvent(event);
    // Dragged in from elsewhere with the button held: not a hover.
    if ((event->buttons() & Qt::LeftButton) && !m_hover) {
        return;
    }
    if (QApplication::widgetAt(event->globalPosition().toPoint()) == this) {
        if (!m_hover) {
            m_hover = true;
            update();
        }
        return;
    }
    EndHover();
}

void CSkinButton::mouseDoubleClickEvent(QMouseEvent* event) {
    // The second click of a double click is a press like the first.
    mousePressEvent(event);
}

void CSkinButton::leaveEvent(QEvent* event) {
    QPushButton::leaveEvent(event);
    EndHover();
}

void CSkinButton::focusOutEvent(QFocusEvent* event) {
    QPushButton::focusOutEvent(event);
    EndHover();
}

void CSkinButton::changeEvent(QEvent* event) {
    QPushButton::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && !isActiveWindow()) {
        EndHover();
    } else if (event->type() == QEvent::EnabledChange && !isEnabled()) {
        EndHover();
    }
}

bool CSkinButton::event(QEvent* event) {
    // A modal window now takes the input (the dialog manager's cancel mode).
    if (event->type() == QEvent::WindowBlocked) {
        EndHover();
    }
    return QPushButton::event(event);
}

bool CSkinButton::focusNextPrevChild(bool next) {
    // Qt asks this of the focused widget that it is disabling, before the change event arrives. Without another
    // tab stop Qt would clear the focus; the parent takes it instead, so the dialog keeps its keys.
    if (isEnabled() || !next) {
        return QPushButton::focusNextPrevChild(next);
    }
    if (QPushButton::focusNextPrevChild(true)) {
        return true;
    }
    if (QWidget* parent = parentWidget(); parent != nullptr) {
        parent->setFocus(Qt::OtherFocusReason);
        return true;
    }
    return false;
}
