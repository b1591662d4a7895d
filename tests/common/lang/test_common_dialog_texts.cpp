#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <filesystem>

#include "DialogTexts.h"
#include "LanguageFile.h"
#include "TempDir.h"

namespace korva {
namespace {

using test::TempDir;
using test::WriteBytes;

template <typename W>
W* Child(QWidget* parent, int id, const QString& text) {
    auto* w = new W(parent);
    w->setProperty("controlId", id);
    if constexpr (std::is_same_v<W, QGroupBox>) {
        w->setTitle(text);
    } else {
        w->setText(text);
    }
    return w;
}

TEST(DialogTextsQt, SetsTextsOfDirectChildrenByControlId) {
    TempDir dir;
    std::filesystem::create_directory(dir.Path("Language"));
    WriteBytes(dir.Path("Language/zh.ini"),
               "[Setting]\nLanguage=Chinese\n[String]\n"
               "IDD157_Title=\xE5\x8D\x95\xE8\xBD\xB4\xE8\xBF\x90\xE5\x8A\xA8\n"  // 单轴运动
               "IDD157_1224=\xE8\xBD\xB4\n"                                       // 轴
               "IDD157_1080=\xE5\x89\x8D\xE8\xBF\x9B\n"                           // 前进
               "IDD157_1081=X\\nY\n"
               "IDD157_1066=12.5\n"
               "IDD157_1217=\n"
               "IDD157_65535=shared\n"
               "IDD157_1999=nested\n"
               "IDD157_1998=combo\n");
    CLanguageFile lang(StagedeskLanguageConfig());
    lang.SetLanguageDirectory(dir.Path("Language"));
    lang.SetSettingsFile(dir.Path("setting.ini"));
    ASSERT_TRUE(lang.SelectLanguage("Chinese"));

    QDialog dialog;
    dialog.setWindowTitle("resource");
    auto* layout = new QVBoxLayout(&dialog);  // a child object that is no widget
    auto* group = Child<QGroupBox>(&dialog, 1224, "group");
    auto* button = Child<QPushButton>(&dialog, 1080, "forward");
    auto* radio = Child<QCheckBox>(&dialog, 1081, "x");
    auto* edit = Child<QLineEdit>(&dialog, 1066, "");
    auto* keep = Child<QLabel>(&dialog, 1217, "coordinate");
    auto* shared1 = Child<QLabel>(&dialog, -1, "a");
    auto* shared2 = Child<QLabel>(&dialog, 65535, "b");
    auto* noId = new QLabel("no id", &dialog);
    auto* nested = Child<QLabel>(group, 1999, "inside the group");
    auto* combo = new QComboBox(&dialog);
    combo->setProperty("controlId", 1998);
    combo->addItems({"X", "Y"});
    layout->addWidget(group);

    std::string caption = ApplyDialogTexts(lang, &dialog, 157);
    EXPECT_EQ(caption, "\xE5\x8D\x95\xE8\xBD\xB4\xE8\xBF\x90\xE5\x8A\xA8");
    EXPECT_EQ(dialog.windowTitle(), QString::fromUtf8("单轴运动"));
    EXPECT_EQ(group->title(), QString::fromUtf8("轴"));
    EXPECT_EQ(button->text(), QString::fromUtf8("前进"));
    EXPECT_EQ(radio->text(), "X\\nY");  // dialog texts keep backslash-n
    EXPECT_EQ(edit->text(), "12.5");
    EXPECT_EQ(keep->text(), "coordinate");  // empty value
    EXPECT_EQ(shared1->text(), "shared");
    EXPECT_EQ(shared2->text(), "shared");
    EXPECT_EQ(noId->text(), "no id");
    EXPECT_EQ(nested->text(), "inside the group");  // not a direct child
    EXPECT_EQ(combo->currentText(), "X");           // a drop list's entries stay
    EXPECT_EQ(combo->count(), 2);
}

}  // namespace
}  // namespace korva

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
