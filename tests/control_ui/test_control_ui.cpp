// The control's face and about box, and the module's road to them: a control
// created from the module opens the about box through the dialog library it
// loads beside itself.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QDialogButtonBox>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <thread>

#include "KORVAKT3002Ctl.h"
#include "KorvaUi.h"

namespace {

bool IsWhite(QRgb c) {
    return qRed(c) > 240 && qGreen(c) > 240 && qBlue(c) > 240;
}
bool IsDark(QRgb c) {
    return qRed(c) < 128 && qGreen(c) < 128 && qBlue(c) < 128;
}

TEST(ControlUi, FaceIsWhiteWithAnInscribedEllipse) {
    QWidget parent;
    QWidget* face = KORVA_UiCreateControlWidget(&parent);
    ASSERT_NE(face, nullptr);
    EXPECT_EQ(face->parentWidget(), &parent);
    EXPECT_TRUE(face->isHidden());
    face->resize(120, 60);
    const QImage image = face->grab().toImage();
    ASSERT_EQ(image.size(), QSize(120, 60));
    // Corners and centre are white; the outline touches the middle of each edge.
    for (QPoint p :
         {QPoint(0, 0), QPoint(119, 0), QPoint(0, 59), QPoint(119, 59), QPoint(60, 30)}) {
        EXPECT_TRUE(IsWhite(image.pixel(p))) << p.x() << "," << p.y();
    }
    for (QPoint p : {QPoint(60, 0), QPoint(60, 59), QPoint(0, 30), QPoint(119, 30)}) {
        EXPECT_TRUE(IsDark(image.pixel(p))) << p.x() << "," << p.y();
    }
}

struct SeenAboutBox {
    QString title;
    QString text;
    bool hasIcon = false;
    bool modal = false;
};

// Inspects the modal dialog once it is up, then presses its OK button.
void CloseAboutBoxWhenShown(SeenAboutBox& seen) {
    QTimer::singleShot(50, [&seen] {
        QWidget* dialog = QApplication::activeModalWidget();
        if (dialog == nullptr) {
            CloseAboutBoxWhenShown(seen);  // not up yet
            return;
        }
        seen.title = dialog->windowTitle();
        seen.modal = dialog->isModal();
        for (QLabel* label : dialog->findChildren<QLabel*>()) {
            if (!label->text().isEmpty()) seen.text = label->text();
            if (!label->pixmap().isNull()) seen.hasIcon = true;
        }
        auto* buttons = dialog->findChild<QDialogButtonBox*>();
        if (buttons) buttons->button(QDialogButtonBox::Ok)->click();
    });
}

TEST(ControlUi, AboutBoxShowsNameVersionIconAndOk) {
    SeenAboutBox seen;
    CloseAboutBoxWhenShown(seen);
    EXPECT_EQ(KORVA_UiAboutBox(nullptr), 1);
    EXPECT_EQ(seen.title, "About KORVAKT3002 Control");
    EXPECT_EQ(seen.text, "KORVAKT3002 Control, Version 1.1");
    EXPECT_TRUE(seen.hasIcon);
    EXPECT_TRUE(seen.modal);
}

TEST(ControlUi, ControlOpensTheAboutBoxThroughTheModule) {
    CKORVAKT3002Ctrl ctl;
    SeenAboutBox seen;
    CloseAboutBoxWhenShown(seen);
    korva::Variant result;
    ASSERT_EQ(ctl.Invoke(korva::DISPID_ABOUTBOX, korva::kInvokeMethod, {}, &result), korva::S_OK);
    EXPECT_EQ(seen.title, "About KORVAKT3002 Control");
}

TEST(ControlUi, DialogsRefuseOtherThreadsAndMissingPages) {
    CKORVAKT3002Ctrl ctl;
    int fromWorker = -1;
    std::thread worker([&] { fromWorker = KORVA_UiAboutBox(&ctl); });
    worker.join();
    EXPECT_EQ(fromWorker, 0);
    EXPECT_EQ(KORVA_UiShowSettingDialog(nullptr), 0);
    EXPECT_EQ(KORVA_UiShowPlanRunWindow(nullptr), 0);
    int sheetFromWorker = -1;
    std::thread sheetWorker([&] { sheetFromWorker = KORVA_UiShowSettingDialog(&ctl); });
    sheetWorker.join();
    EXPECT_EQ(sheetFromWorker, 0);
}

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
