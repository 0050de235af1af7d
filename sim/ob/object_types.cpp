// Object types whose objects other components create: events. Their bodies need no teardown
// beyond freeing. (The configuration manager owns the key type.)
#include "sim/ob/object.h"

namespace vexsim {

namespace {

_OBJECT_TYPE g_eventType{
    "Event",
    {STANDARD_RIGHTS_READ | EVENT_QUERY_STATE, STANDARD_RIGHTS_WRITE | EVENT_MODIFY_STATE,
     STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE, EVENT_ALL_ACCESS},
    EVENT_ALL_ACCESS,
    nullptr,
    nullptr,
    nullptr,
};
POBJECT_TYPE g_eventTypePointer = &g_eventType;

}  // namespace

}  // namespace vexsim

extern "C" {
POBJECT_TYPE* ExEventObjectType = &vexsim::g_eventTypePointer;
}
