// Object types whose objects other components create: events and registry keys. Their bodies
// need no teardown beyond freeing.
#include "sim/ob/object.h"

namespace vexsim {

namespace {

constexpr ACCESS_MASK kKeyRead = STANDARD_RIGHTS_READ | 0x0001 | 0x0008 | 0x0010;
constexpr ACCESS_MASK kKeyWrite = STANDARD_RIGHTS_WRITE | 0x0002 | 0x0004;
constexpr ACCESS_MASK kKeyAllAccess = STANDARD_RIGHTS_ALL | 0x003F;

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

_OBJECT_TYPE g_keyType{
    "Key",
    {kKeyRead, kKeyWrite, kKeyRead, kKeyAllAccess},
    kKeyAllAccess | 0x0300,  // KEY_WOW64_64KEY and KEY_WOW64_32KEY travel with the request
    nullptr,
    nullptr,
    nullptr,
};
POBJECT_TYPE g_keyTypePointer = &g_keyType;

}  // namespace

}  // namespace vexsim

extern "C" {
POBJECT_TYPE* ExEventObjectType = &vexsim::g_eventTypePointer;
POBJECT_TYPE* CmKeyObjectType = &vexsim::g_keyTypePointer;
}
