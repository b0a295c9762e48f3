// The manager's lock is prepared while the module's statics are built, so
// that a lock the system cannot prepare makes the module refuse to load, as
// for the server's other statics. A program of its own: the preparation it
// makes fail is that of this program's statics.
#include "manager/cache_manager.h"
#include "support/com_critical_section.h"
#include "support/static_init_failure.h"

#include <gtest/gtest.h>

namespace {

// Built before every other static of the program: from here until the test
// runs, no lock can be prepared.
struct RefuseLockPreparation {
    RefuseLockPreparation() { g_lockPreparationHook = [] { return false; }; }
};
__attribute__((init_priority(101))) const RefuseLockPreparation g_refuse;

TEST(CacheManagerLoad, AManagerLockTheSystemCannotPrepareRefusesTheLoad) {
    g_lockPreparationHook = nullptr;
    EXPECT_TRUE(g_initializationFailed);
    EXPECT_FALSE(IsCacheManagerStarted());  // (no manager was made; this also links it in)
}

}  // namespace
