// The main window on a screen with a device pixel ratio of 2.

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QTest>

#include "AppTestSupport.h"
#include "CCameraSetupDlg.h"
#include "Diagnostics.h"

namespace {

// Before main, so before the test main creates the application.
const bool kScaled = qputenv("QT_SCALE_FACTOR", "2");

// Detail finer than one logical pixel: the squared deviation of every device pixel from the mean of its 2 x 2
// block. An image drawn at 1x and enlarged has none (nearest neighbour) or little (smooth scaling).
double FineDetail(const QImage& source) {
    const QImage image = source.convertToFormat(QImage::Format_Grayscale8);
    double sum = 0;
    for (int y = 0; y + 1 < image.height(); y += 2) {
        const uchar* top = image.constScanLine(y);
        const uchar* bottom = image.constScanLine(y + 1);
        for (int x = 0; x + 1 < image.width(); x += 2) {
            const double block[4] = {double(top[x]), double(top[x + 1]), double(bottom[x]), double(bottom[x + 1])};
            const double mean = (block[0] + block[1] + block[2] + block[3]) / 4;
            for (double v : block) {
                sum += (v - mean) * (v - mean);
            }
        }
    }
    return sum;
}

// Mean absolute difference of two images of the same size, in grey levels.
double MeanDifference(const QImage& a, const QImage& b) {
    const QImage ga = a.convertToFormat(QImage::Format_Grayscale8);
    const QImage gb = b.convertToFormat(QImage::Format_Grayscale8);
    double sum = 0;
    for (int y = 0; y < ga.height(); ++y) {
        for (int x = 0; x < ga.width(); ++x) {
            sum += std::abs(int(ga.constScanLine(y)[x]) - int(gb.constScanLine(y)[x]));
        }
    }
    return sum / (double(ga.width()) * ga.height());
}

}  // namespace

TEST(HighDpiTest, WindowKeepsItsLayoutAndArtworkIsDrawnAtTwiceTheResolution) {
    RecordingDiagnostics diagnostics;
    CCameraSetupDlg::Seams seams;
    seams.environment = LoopbackEnvironment();
    seams.openUrl = [](const QUrl&) { return false; };
    seams.showMessage = [](const QString&, const QString&) {};
    CCameraSetupDlg window(diagnostics, std::move(seams));
    window.OnInitDialog();
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

    const QPixmap grabbed = window.grab();
    ASSERT_TRUE(kScaled);
    ASSERT_EQ(grabbed.devicePixelRatio(), 2.0) << "QT_SCALE_FACTOR=2 is not in effect";
    const QImage sharp = grabbed.toImage();
    QImage plain(window.size(), QImage::Format_ARGB32_Premultiplied);
    plain.fill(Qt::white);
    window.render(&plain);

    // Same layout: the 2x picture scaled down is the 1x picture but for the finer edges of text and artwork.
    const QImage reduced = sharp.scaled(window.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    EXPECT_LT(MeanDifference(reduced, plain), 6.0);

    // Skinned buttons (an enabled face, a disabled one) and the banner label.
    const struct {
        const char* name;
        QWidget* widget;
    } pictures[] = {
        {"Search button", window.Button(CCameraSetupDlg::kSearchButton)},
        {"Exit button", window.Button(CCameraSetupDlg::kExitButton)},
        {"disabled Wizard button", window.Button(CCameraSetupDlg::kInstallButton)},
        {"banner", window.findChild<QLabel*>(QStringLiteral("1001"))},
    };
    for (const auto& picture : pictures) {
        SCOPED_TRACE(picture.name);
        QWidget* widget = picture.widget;
        ASSERT_NE(widget, nullptr);
        const QRect logical(widget->mapTo(&window, QPoint(0, 0)), widget->size());
        const QRect device(logical.topLeft() * 2, logical.size() * 2);
        const QImage face = sharp.copy(device);
        const QImage enlarged =
            plain.copy(logical).scaled(device.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        EXPECT_GT(FineDetail(face), 1.5 * FineDetail(enlarged));
    }
}
