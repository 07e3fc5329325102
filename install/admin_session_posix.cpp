#include "install/admin_session.h"

// Native hosts have no Windows sessions.
std::uint32_t CallerSessionNumber() {
    return 0;
}
