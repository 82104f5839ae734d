// What the updater makes and removes, held to the user's files, the host's
// path, the record and an end by signal.
#include "tool_fixture.h"

namespace vorn {
namespace {

using namespace tool_testing;

}  // namespace
}  // namespace vorn
