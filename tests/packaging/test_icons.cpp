// The menu icons in packaging/icons: one PNG for each size of the hicolor theme that is installed,
// of that size, with a transparent surround, and the same picture as the window's own icon.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QImage>
#include <QString>
#include <algorithm>
#include <cstdlib>

namespace {

const int kSizes[] = {16, 32, 48, 64, 128, 256};

// Premultiplied, so that every fully transparent pixel reads as 0, 0, 0, 0 whatever colour it had.
QImage load(const QString& path) {
    QImage image(path);
    return image.isNull() ? image : image.convertToFormat(QImage::Format_RGBA8888_Premultiplied);
}

QString iconPath(int size) {
    return QStringLiteral(MORVANE_ICON_DIR "/morvane-%1.png").arg(size);
}

TEST(MenuIcons, EachSizeIsASquarePngOfThatSizeWithATransparentSurround) {
    for (int size : kSizes) {
        SCOPED_TRACE(size);
        const QImage icon = load(iconPath(size));
        ASSERT_FALSE(icon.isNull()) << iconPath(size).toStdString();
        EXPECT_EQ(icon.width(), size);
        EXPECT_EQ(icon.height(), size);
        // The corners lie outside the rounded tile; the middle lies on it.
        EXPECT_EQ(qAlpha(icon.pixel(0, 0)), 0);
        EXPECT_EQ(qAlpha(icon.pixel(size - 1, size - 1)), 0);
        EXPECT_EQ(qAlpha(icon.pixel(size / 2, size / 2)), 255);
    }
}

// Every size is the same picture: reduced to 16 px, each one is close to the 16 px icon.
TEST(MenuIcons, AllSizesShowTheSamePicture) {
    const QImage smallest = load(iconPath(16));
    ASSERT_FALSE(smallest.isNull());
    for (int size : kSizes) {
        SCOPED_TRACE(size);
        const QImage icon = load(iconPath(size));
        ASSERT_FALSE(icon.isNull());
        const QImage reduced = icon.scaled(16, 16, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        long difference = 0;
        for (int y = 0; y < 16; ++y) {
            for (int x = 0; x < 16; ++x) {
                const QRgb a = reduced.pixel(x, y);
                const QRgb b = smallest.pixel(x, y);
                difference += std::abs(qRed(a) - qRed(b)) + std::abs(qGreen(a) - qGreen(b)) +
                              std::abs(qBlue(a) - qBlue(b)) + std::abs(qAlpha(a) - qAlpha(b));
            }
        }
        // The mean difference per channel, out of 255.
        EXPECT_LT(static_cast<double>(difference) / (16 * 16 * 4), 16.0);
    }
}

// The 64 px menu icon matches resources/image/program.ico, the icon that the window shows, so the
// menu and the window show the same picture. When the program icon changes, redraw the menu
// icons with packaging/icons/make_icons.sh.
TEST(MenuIcons, MatchTheProgramIcon) {
    const QImage program = load(QStringLiteral(MORVANE_PROGRAM_ICON));
    ASSERT_FALSE(program.isNull()) << "cannot read " MORVANE_PROGRAM_ICON;
    const QImage icon = load(iconPath(64));
    ASSERT_FALSE(icon.isNull());
    const QImage same =
        program.size() == icon.size()
            ? program
            : program.scaled(64, 64, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    int differing = 0;
    for (int y = 0; y < 64; ++y) {
        for (int x = 0; x < 64; ++x) {
            const QRgb a = same.pixel(x, y);
            const QRgb b = icon.pixel(x, y);
            const int worst =
                std::max({std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)),
                          std::abs(qBlue(a) - qBlue(b)), std::abs(qAlpha(a) - qAlpha(b))});
            if (worst > 48) ++differing;
        }
    }
    // Only the anti-aliased edge of the rounded corners may differ.
    EXPECT_LE(differing, 64 * 64 / 50) << differing << " pixels differ";
}

}  // namespace

int main(int argc, char** argv) {
    // The ICO reader is a plug-in, which is found through the application object.
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
