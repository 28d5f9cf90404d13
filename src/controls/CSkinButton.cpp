#include "CSkinButton.h"

#include <QApplication>
#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>
#include <QPalette>
#include <algorithm>
#include <span>

namespace {

// Image placement and caption offsets, in pixels.
constexpr int kImageMargin = 10;
constexpr int kFocusInset = 3;

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

// A line from `from` towards `to`, `to` itself excluded; lines are horizontal or vertical.
void Segment(QPainter& painter, QPoint from, QPoint to, const QColor& colour) {
    if (from.y() == to.y()) {
        const int left = from.x() <= to.x() ? from.x() : to.x() + 1;
        FillPixels(painter, left, from.y(), std::abs(to.x() - from.x()), 1, colour);
    } else {
        const int top = from.y() <= to.y() ? from.y() : to.y() + 1;
        FillPixels(painter, from.x(), top, 1, std::abs(to.y() - from.y()), colour);
    }
}

void Polyline(QPainter& painter, QPoint a, QPoint b, QPoint c, const QColor& colour) {
    Segment(painter, a, b, colour);
    Segment(painter, b, c, colour);
}

void Frame(QPainter& painter, const QRect& r, const QColor& colour) {
    FillPixels(painter, r.x(), r.y(), r.width(), 1, colour);
    FillPixels(painter, r.x(), r.y() + r.height() - 1, r.width(), 1, colour);
    FillPixels(painter, r.x(), r.y(), 1, r.height(), colour);
    FillPixels(painter, r.x() + r.width() - 1, r.y(), 1, r.height(), colour);
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
    const QColor face = SystemColour(this, QPalette::Button);
    const QColor text = SystemColour(this, QPalette::ButtonText);
    m_colors[kBackIn] = face;
    m_colors[kTextIn] = text;
    m_colors[kBackOut] = face;
    m_colors[kTextOut] = text;
    m_colors[kBackFocus] = face;
    m_colors[kTextFocus] = text;

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

void CSkinButton::DrawTransparent(bool repaint) {
    m_drawTransparent = true;
    if (repaint) {
        update();
    }
}

void CSkinButton::SetFlat(bool flat) {
    m_flat = flat;
    update();
}

void CSkinButton::ReleaseImages() {
    for (Image& image : m_images) {
        image = Image{};
    }
}

void CSkinButton::EndHover() {
    if (m_flat && m_hover) {
        m_hover = false;
        update();
    }
}

int CSkinButton::DrawBackground(QPainter& painter, const QRect& rect) {
    QColor colour = m_colors[kBackOut];
    if (m_hover || m_pressed) {
        colour = m_colors[kBackIn];
    } else if (m_focused) {
        colour = m_colors[kBackFocus];
    }
    painter.fillRect(rect, colour);
    return 0;
}

int CSkinButton::DrawBorder(QPainter& painter, const QRect& rect) {
    const QColor light = SystemColour(this, QPalette::Light);
    const QColor shadow = SystemColour(this, QPalette::Dark);
    if (m_pressed) {
        Frame3d(painter, rect, shadow, light);
    } else {
        Frame3d(painter, rect, light, shadow);
    }
    return 0;
}

int CSkinButton::ChooseSlot() const {
    if (m_pressed || m_hover) {
        return kIn;
    }
    if (m_disabled) {
        if (m_showDisabledImage && !m_images[kDisabled].image.isNull()) {
            return kDisabled;
        }
        return kIn;
    }
    return m_images[kOut].image.isNull() ? kIn : kOut;
}

void CSkinButton::DrawImage(QPainter& painter, const QRect& buttonRect, QRect& captionRect) {
    const Image& image = m_images[ChooseSlot()];
    QRect place = buttonRect;
    if (!text().isEmpty()) {
        place.setLeft(place.left() + kImageMargin);
        captionRect.setLeft(captionRect.left() + image.width + kImageMargin);
    } else {
        place.setLeft(place.left() + (place.width() - image.width) / 2);
    }
    place.setTop(place.top() + (place.height() - image.height) / 2);
    if (m_pressed) {
        place.translate(1, 1);
    }
    const bool highDensity = painter.device() != nullptr && painter.device()->devicePixelRatioF() > 1.0;
    const QImage& face = highDensity && !image.sharp.isNull() ? image.sharp : image.image;
    painter.drawImage(QRect(place.topLeft(), QSize(image.width, image.height)), face);
}

void CSkinButton::DrawCaption(QPainter& painter, QRect captionRect) {
    const QString caption = text();
    if (m_pressed) {
        captionRect.translate(1, 1);
    }
    constexpr int kFlags = Qt::TextWordWrap | Qt::AlignHCenter;
    const QSize measured = QFontMetrics(font()).boundingRect(captionRect, kFlags, caption).size();
    QRect textRect(captionRect.topLeft(), measured);
    textRect.translate((captionRect.width() - measured.width()) / 2, (captionRect.height() - measured.height()) / 2);

    painter.setFont(font());
    if (m_disabled) {
        painter.setPen(SystemColour(this, QPalette::Light));
        painter.drawText(textRect.translated(1, 1), kFlags, caption);
        painter.setPen(SystemColour(this, QPalette::Dark));
        painter.drawText(textRect, kFlags, caption);
        return;
    }
    painter.setPen((m_hover || m_pressed) ? m_colors[kTextIn] : m_colors[kTextOut]);
    painter.drawText(textRect, kFlags, caption);
}

void CSkinButton::DrawFocusRect(QPainter& painter, const QRect& rect) {
    if (rect.width() < 2 || rect.height() < 2) {
        return;
    }
    // Every other pixel of the outline, inverted, so it shows on any image.
    const int left = rect.x();
    const int top = rect.y();
    const int right = left + rect.width() - 1;
    const int bottom = top + rect.height() - 1;
    const auto dot = [&](int x, int y) {
        if ((x - left + y - top) % 2 == 0) {
            painter.fillRect(QRect(x, y, 1, 1), Qt::black);
        }
    };
    painter.save();
    painter.setCompositionMode(QPainter::RasterOp_NotDestination);
    for (int x = left; x <= right; ++x) {
        dot(x, top);
        dot(x, bottom);
    }
    for (int y = top + 1; y < bottom; ++y) {
        dot(left, y);
        dot(right, y);
    }
    painter.restore();
}

void CSkinButton::paintEvent(QPaintEvent* /*event*/) {
    m_pressed = isDown();
    m_focused = hasFocus();
    m_disabled = !isEnabled();
    m_defaultButton = isDefault();

    QPainter painter(this);
    const QRect button = rect();
    QRect work = button;
    if (!m_flat && (m_focused || m_defaultButton)) {
        Frame(painter, work, Qt::black);
        work.adjust(1, 1, -1, -1);
    }

    // Transparent: Qt has already composed the parent's pixels beneath.
    if (!m_drawTransparent) {
        DrawBackground(painter, work);
    }

    if (m_pressed) {
        if (m_flat) {
            if (m_drawBorder) {
                DrawBorder(painter, work);
            }
        } else {
            Frame(painter, work, SystemColour(this, QPalette::Dark));
        }
    } else if (m_flat) {
        if (m_hover && m_drawBorder) {
            DrawBorder(painter, work);
        }
    } else {
        // Window coordinates: right and bottom lie just outside the rectangle.
        const int l = work.x();
        const int t = work.y();
        const int r = work.x() + work.width();
        const int b = work.y() + work.height();
        Polyline(painter, {l, b - 1}, {l, t}, {r, t}, SystemColour(this, QPalette::Light));
        Polyline(painter, {l + 1, b - 1}, {l + 1, t + 1}, {r, t + 1}, SystemColour(this, QPalette::Midlight));
        Polyline(painter, {l, b - 1}, {r - 1, b - 1}, {r - 1, t - 1}, SystemColour(this, QPalette::Shadow));
        Polyline(painter, {l + 1, b - 2}, {r - 2, b - 2}, {r - 2, t}, SystemColour(this, QPalette::Dark));
    }

    QRect caption = button;
    if (!m_images[kIn].image.isNull()) {
        DrawImage(painter, button, caption);
    }
    if (!text().isEmpty()) {
        DrawCaption(painter, caption);
    }

    if ((!m_flat || m_flatFocus) && m_focused) {
        DrawFocusRect(painter, work.adjusted(kFocusInset, kFocusInset, -kFocusInset, -kFocusInset));
    }
}

void CSkinButton::mouseMoveEvent(QMouseEvent* event) {
    QPushButton::mouseMoveEvent(event);
    // Dragged in from elsewhere with the button held: not a hover.
    if ((event->buttons() & Qt::LeftButton) && !m_hover) {
        return;
    }
    if (!m_flat) {
        return;
    }
    const QWidget* under = QApplication::widgetAt(event->globalPosition().toPoint());
    const QWidget* active = m_alwaysTrack ? this : QApplication::activeWindow();
    if (under == this && active != nullptr) {
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
