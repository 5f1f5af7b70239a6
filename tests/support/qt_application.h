// The QApplication a Qt test program needs, made before its first test and gone after its last.
// Qt's own file dialog is used, whatever desktop the tests run on.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>

class cQtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    qunsetenv("QT_QPA_PLATFORMTHEME");
    static int argc = 1;
    static char name[] = "test";
    static char* argv[] = {name, nullptr};
    application = new QApplication(argc, argv);
  }
  void TearDown() override {
    delete application;
    application = nullptr;
  }

 private:
  QApplication* application = nullptr;
};

[[maybe_unused]] inline ::testing::Environment* const qtEnvironment =
    ::testing::AddGlobalTestEnvironment(new cQtEnvironment);
