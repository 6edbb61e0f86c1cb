// Compiled in every build, never run: vortiss.h must declare the exports exactly as the library
// defines them. A return type, parameter or calling convention that differs is a conflicting
// declaration of the same C function, and the build fails here.
#include "checks/exports.h"
#include "checks/vortiss.h"

#include <type_traits>

static_assert(std::is_same_v<decltype(&IsUserAdministrator), VortissIsUserAdministratorProc>);
static_assert(std::is_same_v<decltype(&IsUserAllowedAccess), VortissIsUserAllowedAccessProc>);
static_assert(sizeof(IsUserAdministrator()) == 1, "the exports answer in one byte");
