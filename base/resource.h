// Resource ids of Install.exe that belong to no dialog (hand-written); each dialog's ids are in
// the header beside its .rc file in ui/.
#pragma once

// Icon
#define IDI_INSTALL 104
