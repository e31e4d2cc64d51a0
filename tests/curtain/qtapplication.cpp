#include "qtapplication.h"

namespace {

[[maybe_unused]] ::testing::Environment* const qtApplication =
    ::testing::AddGlobalTestEnvironment(new umbrafold::testing::QtApplicationEnvironment);

}  // namespace
