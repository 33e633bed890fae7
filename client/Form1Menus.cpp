#include "client/Form1.h"

namespace client {

// The task viewer and the configuration editor are not part of this build yet.
void Form1::TaskMenu_Click() {}

// The configuration editor is not part of this build yet.
void Form1::Config_Click() {}

}  // namespace client
