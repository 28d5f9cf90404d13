#include <gtest/gtest.h>

#include <QImage>
#include <QString>

#include "Bitmaps.h"
#include "StringTable.h"

TEST(StringTableTest, HoldsTheProgramTextsAndNothingElse) {
    const struct {
        int id;
        const char* text;
    } cases[] = {
        {101, "&About Vestrix..."}, {102, "Tavix-10"},
        {104, "Tavix-11+"},         {107, "This camera can be found by installer whenever it starts up"},
        {108, "config.ini"},        {109, "Tavix-30"},
        {110, "Tavix-30W"},         {111, "Davuvive Zazezo"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(StringTable::Find(c.id).has_value()) << c.id;
        EXPECT_EQ(*StringTable::Find(c.id), c.text) << c.id;
        EXPECT_EQ(StringTable::Load(c.id), c.text) << c.id;
    }
    for (int id : {0, 100, 103, 112, -1}) {
        EXPECT_FALSE(StringTable::Find(id).has_value()) << id;
        EXPECT_EQ(StringTable::Load(id), "") << id;
        EXPECT_EQ(StringTable::Format(id, "x"), "") << id;
    }
}

TEST(StringTableTest, FormatPutsTheModelIntoTheWizardTextsLiterally) {
    EXPECT_EQ(StringTable::Format(105, "Tavix-10"),
              "Welcome to the Tavix-10 Setup Wizard. The Wizard will guide you through these two quick steps. Begin "
              "by clicking on Next.");
    EXPECT_EQ(StringTable::Format(106, "Tavix-11+"),
              "The Setup wizard has completed. Click on Back to modify changes or mistakes. Click Restart to save the "
              "current settings and reboot the Tavix-11+.");
    // A '%' in the argument is text, never a format directive.
    EXPECT_EQ(StringTable::Format(106, "%s%n%%"),
              "The Setup wizard has completed. Click on Back to modify changes or mistakes. Click Restart to save the "
              "current settings and reboot the %s%n%%.");
}

namespace {

bool IsKey(QRgb pixel) {
    return (pixel & 0xFFFFFF) == 0xFFFFFF;
}

}  // namespace

TEST(BitmapsTest, EveryBitmapIsThereAtItsSize) {
    const struct {
        int id;
        int width;
        int height;
    } cases[] = {
        {130, 567, 107}, {135, 6, 420},  {138, 107, 48}, {139, 107, 48}, {140, 107, 48}, {141, 107, 48}, {142, 517, 80},
        {143, 107, 48},  {144, 107, 48}, {145, 45, 62},  {146, 45, 62},  {147, 45, 62},  {148, 45, 62},  {149, 45, 62},
        {150, 45, 62},   {151, 107, 48}, {160, 107, 48}, {161, 107, 48}, {162, 66, 50},  {163, 80, 61},  {164, 39, 44},
        {165, 44, 41},   {166, 48, 48},  {167, 153, 55}, {168, 153, 55}, {169, 355, 98},
    };
    for (const auto& c : cases) {
        const QImage image(QString::fromStdString(Bitmaps::Path(c.id)));
        ASSERT_FALSE(image.isNull()) << c.id;
        EXPECT_EQ(image.width(), c.width) << c.id;
        EXPECT_EQ(image.height(), c.height) << c.id;
    }
    EXPECT_TRUE(QImage(QString::fromStdString(Bitmaps::Path(137))).isNull());
    const QImage icon(Bitmaps::kIconPath);
    ASSERT_FALSE(icon.isNull());
    EXPECT_TRUE(icon.hasAlphaChannel());
}

// White is the faces' key colour: it must frame the plates and symbols but never appear inside them, where it
// would punch holes through to the dialog background.
TEST(BitmapsTest, ButtonFacesUseWhiteOnlyOutsideTheirShape) {
    for (int id : {138, 139, 140, 141, 143, 144, 151, 160, 161}) {
        const QImage image(QString::fromStdString(Bitmaps::Path(id)));
        ASSERT_FALSE(image.isNull()) << id;
        EXPECT_TRUE(IsKey(image.pixel(0, 0))) << id;
        EXPECT_TRUE(IsKey(image.pixel(106, 47))) << id;
        for (int y = 10; y < 38; ++y) {
            for (int x = 10; x < 97; ++x) {
                ASSERT_FALSE(IsKey(image.pixel(x, y))) << id << " at " << x << "," << y;
            }
        }
    }
    for (int id = 145; id <= 150; ++id) {
        const QImage image(QString::fromStdString(Bitmaps::Path(id)));
        ASSERT_FALSE(image.isNull()) << id;
        EXPECT_TRUE(IsKey(image.pixel(0, 0))) << id;
        EXPECT_FALSE(IsKey(image.pixel(22, 21))) << id;  // centre of the symbol
    }
}
