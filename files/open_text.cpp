#include "app/parlan_main.h"
#include "files/common_dialog.h"

void ParlanMain::menuFileOpenText_Click() {}

QString ParlanMain::GetDirectory() { return {}; }
