// The Options dialog: what its boxes show on opening, how every edit of a box sets its setting,
// and that nothing but OK and a close request ends it.

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include "app/options.h"
#include "desktop/options_dialog.h"
#include "desktop/qt_platform.h"
#include "state/state.h"
#include "tests/support/qt_application.h"

namespace {

class OptionsDialog : public ::testing::Test {
 protected:
  void SetUp() override { ResetProcessState(); }

  // A shown dialog, as the user meets it.
  static std::unique_ptr<cOptionsDialog> Open() {
    auto dialog = std::make_unique<cOptionsDialog>();
    dialog->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(dialog.get()));
    return dialog;
  }

  // Replaces the box's text key by key.
  static void Retype(QLineEdit* box, const char* text) {
    box->setFocus();
    box->selectAll();
    QTest::keyClick(box, Qt::Key_Backspace);
    QTest::keyClicks(box, QString::fromLatin1(text));
  }
};

QLabel* LabelWithText(QWidget& dialog, const char* text) {
  for (QLabel* label : dialog.findChildren<QLabel*>()) {
    if (label->text() == QLatin1String(text)) return label;
  }
  return nullptr;
}

TEST_F(OptionsDialog, ShowsTheDefaultsInItsRowsWithOkCentredBelow) {
  auto dialog = Open();
  EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Options"));
  EXPECT_EQ(dialog->SmoothBox()->text(), QStringLiteral("0.1"));
  EXPECT_EQ(dialog->EpsilonBox()->text(), QStringLiteral("0.1"));
  EXPECT_EQ(Smooth.load(), 0.1);
  EXPECT_EQ(Epsilon.load(), 0.1);

  QLabel* smoothLabel = LabelWithText(*dialog, "Smooth:");
  QLabel* epsilonLabel = LabelWithText(*dialog, "Ephsilon:");
  ASSERT_NE(smoothLabel, nullptr);
  ASSERT_NE(epsilonLabel, nullptr);
  EXPECT_EQ(dialog->OkButton()->text(), QStringLiteral("OK"));
  // "Smooth:" and its box on the top row, "Ephsilon:" and its box below, OK under both.
  const QRect smoothBox = dialog->SmoothBox()->geometry();
  const QRect epsilonBox = dialog->EpsilonBox()->geometry();
  const QRect ok = dialog->OkButton()->geometry();
  EXPECT_LT(smoothLabel->geometry().right(), smoothBox.left());
  EXPECT_LT(epsilonLabel->geometry().right(), epsilonBox.left());
  EXPECT_TRUE(smoothBox.center().y() >= smoothLabel->geometry().top() &&
              smoothBox.center().y() <= smoothLabel->geometry().bottom());
  EXPECT_LT(smoothBox.bottom(), epsilonBox.top());
  EXPECT_LT(epsilonBox.bottom(), ok.top());
  EXPECT_NEAR(ok.center().x(), dialog->width() / 2, 2);
  EXPECT_FALSE(dialog->OkButton()->isDefault());
  EXPECT_FALSE(dialog->OkButton()->autoDefault());
}

TEST_F(OptionsDialog, StartsWithNoBoxFocusedAndNoCloseButton) {
  auto dialog = Open();
  dialog->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(dialog.get()));
  EXPECT_FALSE(dialog->SmoothBox()->hasFocus());
  EXPECT_FALSE(dialog->EpsilonBox()->hasFocus());
  EXPECT_FALSE(dialog->OkButton()->hasFocus());
  // Typing at once edits nothing.
  QTest::keyClick(dialog->windowHandle(), Qt::Key_7);
  EXPECT_EQ(dialog->SmoothBox()->text(), QStringLiteral("0.1"));
  EXPECT_EQ(dialog->EpsilonBox()->text(), QStringLiteral("0.1"));
  EXPECT_EQ(Smooth.load(), 0.1);
  EXPECT_TRUE(dialog->isVisible());
  // A caption without a system menu: no close button, no window menu.
  const Qt::WindowFlags flags = dialog->windowFlags();
  EXPECT_TRUE(flags & Qt::WindowTitleHint);
  EXPECT_FALSE(flags & Qt::WindowCloseButtonHint);
  EXPECT_FALSE(flags & Qt::WindowSystemMenuHint);
  // Tab then reaches the boxes in their order.
  QTest::keyClick(dialog->windowHandle(), Qt::Key_Tab);
  EXPECT_TRUE(dialog->EpsilonBox()->hasFocus() || dialog->SmoothBox()->hasFocus());
}

TEST_F(OptionsDialog, TypingSetsTheSettingAfterEveryCharacter) {
  auto dialog = Open();
  QLineEdit* box = dialog->EpsilonBox();
  box->setFocus();
  box->selectAll();
  const std::pair<char, double> steps[] = {{'0', 0.0}, {'.', 0.0}, {'2', 0.2}, {'5', 0.25}};
  for (const auto& [key, expected] : steps) {
    QTest::keyClick(box, key);
    EXPECT_EQ(Epsilon.load(), expected) << "after typing " << key;
  }
  EXPECT_EQ(box->text(), QStringLiteral("0.25"));
  EXPECT_EQ(Smooth.load(), 0.1);
  QTest::mouseClick(dialog->OkButton(), Qt::LeftButton);
  EXPECT_FALSE(dialog->isVisible());
  EXPECT_EQ(Epsilon.load(), 0.25);
}

TEST_F(OptionsDialog, EmptyOrLetterTextsSetZeroAndLeadingDigitsCount) {
  auto dialog = Open();
  QLineEdit* box = dialog->SmoothBox();
  box->setFocus();
  box->selectAll();
  QTest::keyClick(box, Qt::Key_Backspace);
  EXPECT_EQ(box->text(), QString());
  EXPECT_EQ(Smooth.load(), 0.0);

  Retype(box, "7");
  ASSERT_EQ(Smooth.load(), 7.0);
  Retype(box, "abc");
  EXPECT_EQ(Smooth.load(), 0.0);
  Retype(box, "12abc");
  EXPECT_EQ(Smooth.load(), 12.0);
  EXPECT_EQ(Epsilon.load(), 0.1);
}

TEST_F(OptionsDialog, ExponentTextIsReadAndShownWithThreeExponentDigits) {
  {
    auto dialog = Open();
    Retype(dialog->SmoothBox(), "1e-3");
    EXPECT_EQ(Smooth.load(), 0.001);
    QTest::mouseClick(dialog->OkButton(), Qt::LeftButton);
  }
  auto reopened = Open();
  EXPECT_EQ(reopened->SmoothBox()->text(), QStringLiteral("1e-003"));
  EXPECT_EQ(Smooth.load(), 0.001);
}

TEST_F(OptionsDialog, TinyValueIsShownAndReadBackUnchanged) {
  Epsilon.store(5e-5);
  auto dialog = Open();
  EXPECT_EQ(dialog->EpsilonBox()->text(), QStringLiteral("5e-005"));
  EXPECT_EQ(Epsilon.load(), 5e-5);
}

TEST_F(OptionsDialog, OpeningRoundsBothSettingsToTheDigitShown) {
  Smooth.store(0.96);
  Epsilon.store(0.25);
  auto dialog = Open();
  EXPECT_EQ(dialog->SmoothBox()->text(), QStringLiteral("1."));
  EXPECT_EQ(Smooth.load(), 1.0);
  const QString shown = dialog->EpsilonBox()->text();
  EXPECT_EQ(shown, QString::fromStdString(FormatSetting(0.25)));
  EXPECT_EQ(shown.size(), 3) << shown.toStdString();  // "0.d": one digit
  EXPECT_EQ(Epsilon.load(), ReadSetting(shown.toStdString()));
  EXPECT_NE(Epsilon.load(), 0.25);
}

TEST_F(OptionsDialog, EscapeAndEnterDoNotEndIt) {
  auto dialog = Open();
  QTest::keyClick(dialog.get(), Qt::Key_Escape);
  EXPECT_TRUE(dialog->isVisible());
  QTest::keyClick(dialog->EpsilonBox(), Qt::Key_Escape);
  EXPECT_TRUE(dialog->isVisible());
  dialog->EpsilonBox()->setFocus();
  QTest::keyClick(dialog->EpsilonBox(), Qt::Key_Return);
  EXPECT_TRUE(dialog->isVisible());
  QTest::keyClick(dialog->SmoothBox(), Qt::Key_Enter, Qt::KeypadModifier);
  EXPECT_TRUE(dialog->isVisible());
  dialog->OkButton()->setFocus();
  QTest::keyClick(dialog->OkButton(), Qt::Key_Return);
  EXPECT_TRUE(dialog->isVisible());
  EXPECT_EQ(Epsilon.load(), 0.1);
  EXPECT_EQ(Smooth.load(), 0.1);
}

TEST_F(OptionsDialog, OkEndsItByMouseOrByKeyWhenFocused) {
  auto clicked = Open();
  QTest::mouseClick(clicked->OkButton(), Qt::LeftButton);
  EXPECT_FALSE(clicked->isVisible());
  EXPECT_EQ(clicked->result(), QDialog::Accepted);

  auto pressed = Open();
  pressed->OkButton()->setFocus();
  QTest::keyClick(pressed->OkButton(), Qt::Key_Space);
  EXPECT_FALSE(pressed->isVisible());
  EXPECT_EQ(pressed->result(), QDialog::Accepted);
}

TEST_F(OptionsDialog, CloseRequestEndsItAndKeepsTheSettings) {
  auto dialog = Open();
  Retype(dialog->EpsilonBox(), "0.3");
  EXPECT_TRUE(dialog->close());
  EXPECT_FALSE(dialog->isVisible());
  EXPECT_EQ(dialog->result(), QDialog::Rejected);
  EXPECT_EQ(Epsilon.load(), 0.3);
}

TEST_F(OptionsDialog, PlatformRunsItWithoutOwnerOrModalityUntilOk) {
  cQtPlatform platform;
  bool seen = false;
  bool ownerless = false;
  bool windowsStayUsable = false;
  QTimer closer;
  closer.setInterval(20);
  QObject::connect(&closer, &QTimer::timeout, [&] {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      auto* dialog = qobject_cast<cOptionsDialog*>(widget);
      if (dialog == nullptr || !dialog->isVisible()) continue;
      seen = true;
      ownerless = dialog->parentWidget() == nullptr;
      windowsStayUsable =
          dialog->windowModality() == Qt::NonModal && QApplication::activeModalWidget() == nullptr;
      dialog->OkButton()->click();
    }
  });
  closer.start();
  platform.RunOptionsDialog();
  EXPECT_TRUE(seen);
  EXPECT_TRUE(ownerless);
  EXPECT_TRUE(windowsStayUsable);
}

}  // namespace
