#include <QApplication>

#include "app/parlan_main.h"
#include "platform/speech/engine_synthesizer.h"

int main(int argc, char** argv) {
    // The speech engine starts in its own process while Qt starts here.
    speech::startEngineEarly();
    QApplication app(argc, argv);
    ParlanMain window(ParlanMain::defaultServices());
    if (!window.Form_Load()) return 1;
    window.show();
    return QApplication::exec();
}
