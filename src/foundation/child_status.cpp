#include "foundation/child_status.hpp"

namespace norvik {
namespace {
// The last waited-for child's status, as the callers read it after a wait.
int g_child_status = 0;
}  // namespace

int child_status() { return g_child_status; }
void set_child_status(int status) { g_child_status = status; }

}  // namespace norvik
