#include "foundation/child_status.hpp"

namespace norvik {
namespace {
int g_child_status = 0;
}

int child_status() { return g_child_status; }
void set_child_status(int status) { g_child_status = status; }

}  // namespace norvik
