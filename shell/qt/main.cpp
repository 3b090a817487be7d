// The desktop program; the edition is chosen when it is built.

#include <QApplication>

#include "framework/Host.h"
#include "shell/qt/FlashToolApp.h"

#ifndef FLASHTOOL_EDITION_B
constexpr Edition kEdition = Edition::A;
#else
constexpr Edition kEdition = Edition::B;
#endif

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    CFlashToolApp app(kEdition);
    if (!app.InitInstance(QApplication::arguments())) {
        return 1;
    }
    return QApplication::exec();
}
