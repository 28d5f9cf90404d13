#include "CSkinButton.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QMouseEvent>
#include <QPainter>
#include <QSignalSpy>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace {

const QColor kDialogBackground(196, 203, 209);
const QColor kKey(255, 255, 255);
const QColor kRed(200, 20, 20);
const QColor kBlue(20, 20, 200);
const QColor kGrey(120, 120, 120);

constexpr int kButtonWidth = 60;
constexpr int kButtonHeight = 40;
constexpr int kFaceWidth = 20;
constexpr int kFaceHeight = 10;
// The face is centred: (60 - 20) / 2, (40 - 10) / 2.
const QPoint kFaceOrigin(20, 15);

// A face of one colour inside a one-pixel key-coloured rim.
QImage Face(const QColor& colour, QImage::Format format = QImage::Format_RGB32) {
    QImage image(kFaceWidth, kFaceHeight, format);
    image.fill(kKey);
    QPainter painter(&image);
    painter.fillRect(QRect(1, 1, kFaceWidth - 2, kFaceHeight - 2), colour);
    return image;
}

// A face that holds no key colour, so the button can share it instead of copying it.
QImage PlainFace(const QColor& colour) {
    QImage image(kFaceWidth, kFaceHeight, QImage::Format_ARGB32_Premultiplied);
    image.fill(colour);
    return image;
}

class SkinButtonTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_dialog = std::make_unique<QWidget>();
        m_dialog->resize(200, 100);
        QPalette palette = m_dialog->palette();
        palette.setColor(QPalette::Window, kDialogBackground);
        m_dialog->setPalette(palette);
        m_dialog->setAutoFillBackground(true);
        m_button = new CSkinButton(m_dialog.get());
        m_button->setGeometry(10, 10, kButtonWidth, kButtonHeight);
        m_dialog->show();
        QApplication::setActiveWindow(m_dialog.get());  // focus shows only in the active window
    }

    // The button as the dialog shows it, in button coordinates.
    QImage Render() const {
        const QImage dialog = m_dialog->grab().toImage();
        return dialog.copy(m_button->geometry()).convertToFormat(QImage::Format_RGB32);
    }

    void Move(QPoint local, Qt::MouseButtons buttons = Qt::NoButton) {
        QMouseEvent event(QEvent::MouseMove, local, m_button->mapToGlobal(local), Qt::NoButton, buttons,
                          Qt::NoModifier);
        QApplication::sendEvent(m_button, &event);
    }

    void Hover() { Move(QPoint(kButtonWidth / 2, kButtonHeight / 2)); }

    QRgb System(QPalette::ColorRole role) const { return m_button->palette().color(QPalette::Active, role).rgb(); }

    std::unique_ptr<QWidget> m_dialog;
    CSkinButton* m_button = nullptr;
};

// Colours compare as 8-bit RGB: palette colours may carry more precision than a pixel holds.
QRgb At(const QImage& image, QPoint p) {
    return image.pixel(p);
}
QRgb Rgb(const QColor& colour) {
    return colour.rgb();
}

// Top-left pixel of the first run of `colour`, scanning rows.
std::optional<QPoint> Find(const QImage& image, const QColor& colour) {
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (image.pixel(x, y) == colour.rgb()) {
                return QPoint(x, y);
            }
        }
    }
    return std::nullopt;
}

bool Contains(const QImage& image, const QColor& colour) {
    return Find(image, colour).has_value();
}

TEST_F(SkinButtonTest, SetBitmapsReportsUnreadableImagesAndKeepsNone) {
    const QImage red = Face(kRed);
    const QImage blue = Face(kBlue);
    const QImage null;
    struct Case {
        const char* name;
        const QImage* in;
        const QImage* out;
        const QImage* disabled;
        int result;
        bool drawsImage;
    };
    const Case cases[] = {
        {"in only", &red, nullptr, nullptr, CSkinButton::kOk, true},
        {"all three", &red, &blue, &blue, CSkinButton::kOk, true},
        {"no in image", nullptr, &blue, &blue, CSkinButton::kOk, false},
        {"null in image", &null, nullptr, nullptr, CSkinButton::kSizeUnreadable, false},
        {"null out image", &red, &null, nullptr, CSkinButton::kSizeUnreadable, false},
        {"null disabled image", &red, &blue, &null, CSkinButton::kSizeUnreadable, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Start from a held image, so that a failure has something to release.
        ASSERT_EQ(m_button->SetBitmaps(&blue, kKey), CSkinButton::kOk);
        EXPECT_EQ(m_button->SetBitmaps(c.in, kKey, c.out, kKey, c.disabled, kKey), c.result);
        const QImage shown = Render();
        EXPECT_EQ(Contains(shown, kRed) || Contains(shown, kBlue), c.drawsImage);
    }
}

TEST_F(SkinButtonTest, ResourceIdsLoadTheBundledFaces) {
    m_button->resize(109, 50);
    ASSERT_EQ(m_button->SetBitmaps(140, kKey), CSkinButton::kOk);
    const QImage withFace = Render();
    // The 107 x 48 plate fills the button but for a one-pixel rim, where the dialog shows through.
    EXPECT_NE(At(withFace, QPoint(54, 25)), Rgb(kDialogBackground));

    // An id the resources do not hold gives no image at all.
    ASSERT_EQ(m_button->SetBitmaps(9999, kKey), CSkinButton::kOk);
    const QImage empty = Render();
    EXPECT_EQ(At(empty, QPoint(54, 25)), Rgb(kDialogBackground));
}

TEST_F(SkinButtonTest, ReplacingImagesReleasesThePreviousSet) {
    QImage in = PlainFace(kRed);
    QImage out = PlainFace(kBlue);
    QImage disabled = PlainFace(kGrey);
    ASSERT_EQ(m_button->SetBitmaps(&in, kKey, &out, kKey, &disabled, kKey), CSkinButton::kOk);
    EXPECT_FALSE(in.isDetached());
    EXPECT_FALSE(out.isDetached());
    EXPECT_FALSE(disabled.isDetached());

    const QImage next = Face(kGrey);
    ASSERT_EQ(m_button->SetBitmaps(&next, kKey), CSkinButton::kOk);
    EXPECT_TRUE(in.isDetached());
    EXPECT_TRUE(out.isDetached());
    EXPECT_TRUE(disabled.isDetached());

    // A failed set releases what it had taken before the failure.
    const QImage null;
    EXPECT_EQ(m_button->SetBitmaps(&in, kKey, &out, kKey, &null, kKey), CSkinButton::kSizeUnreadable);
    EXPECT_TRUE(in.isDetached());
    EXPECT_TRUE(out.isDetached());
}

TEST_F(SkinButtonTest, KeyColourIsTransparentAndTheCallersImageIsLeftAlone) {
    const QImage face = Face(kRed);
    ASSERT_EQ(m_button->SetBitmaps(&face, kKey), CSkinButton::kOk);
    EXPECT_EQ(face.pixel(0, 0), Rgb(kKey));

    const QImage shown = Render();
    EXPECT_EQ(At(shown, kFaceOrigin), Rgb(kDialogBackground));
    EXPECT_EQ(At(shown, QPoint(0, 0)), Rgb(kDialogBackground));
    EXPECT_EQ(At(shown, kFaceOrigin + QPoint(1, 1)), Rgb(kRed));
    EXPECT_FALSE(Contains(shown, kKey));
}

TEST_F(SkinButtonTest, OneImageIsShownInEveryState) {
    const QImage face = Face(kRed);
    ASSERT_EQ(m_button->SetBitmaps(&face, kKey), CSkinButton::kOk);
    const QPoint inside = kFaceOrigin + QPoint(kFaceWidth / 2, kFaceHeight / 2);

    EXPECT_EQ(At(Render(), inside), Rgb(kRed)) << "out";
    Hover();
    ASSERT_TRUE(m_button->IsHovering());
    EXPECT_EQ(At(Render(), inside), Rgb(kRed)) << "hover";
    m_button->setDown(true);
    EXPECT_EQ(At(Render(), inside), Rgb(kRed)) << "pressed";
    m_button->setDown(false);
    m_button->setFocus();
    EXPECT_EQ(At(Render(), inside), Rgb(kRed)) << "focused";
    m_button->setEnabled(false);
    EXPECT_EQ(At(Render(), inside), Rgb(kRed)) << "disabled";
}

TEST_F(SkinButtonTest, ImageSlotFollowsTheState) {
    const QImage in = Face(kRed);
    const QImage out = Face(kBlue);
    const QImage disabled = Face(kGrey);
    ASSERT_EQ(m_button->SetBitmaps(&in, kKey, &out, kKey, &disabled, kKey), CSkinButton::kOk);
    const QPoint inside = kFaceOrigin + QPoint(kFaceWidth / 2, kFaceHeight / 2);

    EXPECT_EQ(At(Render(), inside), Rgb(kBlue)) << "out";
    m_button->setFocus();
    EXPECT_EQ(At(Render(), inside), Rgb(kBlue)) << "focused";
    Hover();
    EXPECT_EQ(At(Render(), inside), Rgb(kRed)) << "hover";
    m_button->setDown(true);
    EXPECT_EQ(At(Render(), inside), Rgb(kRed)) << "pressed";
    m_button->setDown(false);
    m_button->setEnabled(false);
    EXPECT_FALSE(m_button->IsHovering());
    EXPECT_EQ(At(Render(), inside), Rgb(kGrey)) << "disabled";

    // Without a disabled image a disabled button falls back to the in image, not the out image.
    ASSERT_EQ(m_button->SetBitmaps(&in, kKey, &out, kKey), CSkinButton::kOk);
    EXPECT_EQ(At(Render(), inside), Rgb(kRed)) << "disabled, no disabled image";
}

TEST_F(SkinButtonTest, PressedImageMovesByOnePixel) {
    const QImage face = Face(kRed);
    ASSERT_EQ(m_button->SetBitmaps(&face, kKey), CSkinButton::kOk);
    const std::optional<QPoint> out = Find(Render(), kRed);
    ASSERT_TRUE(out.has_value());
    EXPECT_EQ(*out, kFaceOrigin + QPoint(1, 1));
    m_button->setDown(true);
    const std::optional<QPoint> pressed = Find(Render(), kRed);
    ASSERT_TRUE(pressed.has_value());
    EXPECT_EQ(*pressed, *out + QPoint(1, 1));
}

TEST_F(SkinButtonTest, FlatBorderIsRaisedOnHoverAndSunkenWhilePressed) {
    const QImage face = Face(kRed);
    ASSERT_EQ(m_button->SetBitmaps(&face, kKey), CSkinButton::kOk);
    const QPoint topLeft(0, 0);
    const QPoint bottomRight(kButtonWidth - 1, kButtonHeight - 1);
    const QRgb light = System(QPalette::Light);
    const QRgb shadow = System(QPalette::Dark);
    ASSERT_NE(light, shadow);

    QImage shown = Render();
    EXPECT_EQ(At(shown, topLeft), Rgb(kDialogBackground)) << "out: no border";
    EXPECT_EQ(At(shown, bottomRight), Rgb(kDialogBackground)) << "out: no border";

    m_button->setFocus();
    shown = Render();
    EXPECT_EQ(At(shown, topLeft), Rgb(kDialogBackground)) << "focused flat button: no border, no focus rectangle";
    EXPECT_EQ(At(shown, QPoint(3, 3)), Rgb(kDialogBackground));

    Hover();
    shown = Render();
    EXPECT_EQ(At(shown, topLeft), light) << "hover";
    EXPECT_EQ(At(shown, QPoint(kButtonWidth / 2, 0)), light);
    EXPECT_EQ(At(shown, bottomRight), shadow);
    EXPECT_EQ(At(shown, QPoint(kButtonWidth - 1, 0)), shadow) << "right edge owns its corners";

    m_button->setDown(true);
    shown = Render();
    EXPECT_EQ(At(shown, topLeft), shadow) << "pressed";
    EXPECT_EQ(At(shown, bottomRight), light);
}

TEST_F(SkinButtonTest, HoverStartsOnlyOnAnUnheldMoveAndEndsOnEveryExit) {
    Move(QPoint(5, 5), Qt::LeftButton);
    EXPECT_FALSE(m_button->IsHovering()) << "dragged in with the left button held";
    Move(QPoint(5, 5));
    EXPECT_TRUE(m_button->IsHovering());
    Move(QPoint(6, 6), Qt::LeftButton);
    EXPECT_TRUE(m_button->IsHovering()) << "pressing inside keeps the hover";
    Move(QPoint(kButtonWidth + 5, 5), Qt::LeftButton);
    EXPECT_FALSE(m_button->IsHovering()) << "held and dragged out";

    struct Exit {
        const char* name;
        std::function<void(CSkinButton&)> apply;
    };
    const Exit exits[] = {
        {"leave",
         [](CSkinButton& b) {
             QEvent leave(QEvent::Leave);
             QApplication::sendEvent(&b, &leave);
         }},
        {"focus loss",
         [](CSkinButton& b) {
             QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
             QApplication::sendEvent(&b, &out);
         }},
        {"blocked by a modal window",
         [](CSkinButton& b) {
             QEvent blocked(QEvent::WindowBlocked);
             QApplication::sendEvent(&b, &blocked);
         }},
        {"disabled", [](CSkinButton& b) { b.setEnabled(false); }},
    };
    for (const Exit& exit : exits) {
        SCOPED_TRACE(exit.name);
        m_button->setEnabled(true);
        Hover();
        ASSERT_TRUE(m_button->IsHovering());
        exit.apply(*m_button);
        EXPECT_FALSE(m_button->IsHovering());
    }
}

TEST_F(SkinButtonTest, DeactivationEndsHover) {
    m_dialog->activateWindow();
    QApplication::setActiveWindow(m_dialog.get());
    ASSERT_TRUE(m_button->isActiveWindow());
    Hover();
    ASSERT_TRUE(m_button->IsHovering());
    QApplication::setActiveWindow(nullptr);
    EXPECT_FALSE(m_button->IsHovering());
}

TEST_F(SkinButtonTest, DoubleClickGivesTheParentTwoClicks) {
    const QPoint at(kButtonWidth / 2, kButtonHeight / 2);
    const auto send = [&](QEvent::Type type, Qt::MouseButtons held) {
        QMouseEvent event(type, at, m_button->mapToGlobal(at), Qt::LeftButton, held, Qt::NoModifier);
        QApplication::sendEvent(m_button, &event);
    };
    // The second click arrives as a double click alone, or as a press followed by a double click.
    const std::vector<std::vector<QEvent::Type>> sequences = {
        {QEvent::MouseButtonPress, QEvent::MouseButtonRelease, QEvent::MouseButtonDblClick, QEvent::MouseButtonRelease},
        {QEvent::MouseButtonPress, QEvent::MouseButtonRelease, QEvent::MouseButtonPress, QEvent::MouseButtonDblClick,
         QEvent::MouseButtonRelease},
    };
    for (const auto& sequence : sequences) {
        SCOPED_TRACE(sequence.size());
        QSignalSpy clicks(m_button, &QAbstractButton::clicked);
        for (QEvent::Type type : sequence) {
            send(type, type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton);
        }
        EXPECT_EQ(clicks.count(), 2);
        EXPECT_FALSE(m_button->isDown());
    }
}

TEST_F(SkinButtonTest, ClickTakesTheFocusBeforeTheParentHearsIt) {
    auto* other = new CSkinButton(m_dialog.get());
    other->setFocus();
    bool focusedWhenHeard = false;
    QObject::connect(m_button, &QAbstractButton::clicked,
                     [&] { focusedWhenHeard = m_dialog->focusWidget() == m_button; });
    m_button->click();
    EXPECT_TRUE(focusedWhenHeard);
}

TEST_F(SkinButtonTest, DisablingTheFocusedButtonMovesTheFocusOn) {
    auto* second = new CSkinButton(m_dialog.get());
    auto* third = new CSkinButton(m_dialog.get());
    second->show();
    third->show();

    second->setFocus();
    second->setEnabled(false);
    EXPECT_EQ(m_dialog->focusWidget(), third) << "next tab stop";

    third->setEnabled(false);
    EXPECT_EQ(m_dialog->focusWidget(), m_button) << "search wraps round";

    m_button->setEnabled(false);
    EXPECT_EQ(m_dialog->focusWidget(), m_dialog.get()) << "no tab stop left: the dialog";
}

}  // namespace
