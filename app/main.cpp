#include <QApplication>

#include "app/parlan_main.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    ParlanMain window(ParlanMain::defaultServices());
    if (!window.Form_Load()) return 1;
    window.show();
    return QApplication::exec();
}
