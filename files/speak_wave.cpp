#include "app/parlan_main.h"
#include "files/common_dialog.h"

void ParlanMain::menuFileSpeakWave_Click() {}
