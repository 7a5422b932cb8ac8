#include "driver/clock.h"

namespace morvix {

namespace {
const std::time_t* g_fake = nullptr;
}

std::time_t clock_now() { return g_fake != nullptr ? *g_fake : std::time(nullptr); }

void clock_override(const std::time_t* fake) { g_fake = fake; }

}  // namespace morvix
