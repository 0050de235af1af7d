// The wildcard matcher as plainly described: every star first tries the empty run, then longer
// ones; a star that meets the end of the string matches only as the pattern's last character.
// The tests check the driver's bounded matcher against it, and the benchmarks time it, since its
// time grows with the number of ways to place the stars.
#pragma once

#include "platform/platform.h"

namespace vextest {

inline bool BacktrackingMatch(const char16_t* s, const char16_t* p)
{
    while (*p != 0) {
        if (*p == u'*') {
            if (*s == 0) {
                return p[1] == 0;
            }
            for (;;) {
                if (BacktrackingMatch(s, p + 1)) {
                    return true;
                }
                if (*++s == 0) {
                    return p[1] == 0;
                }
            }
        }
        if (*s == 0 || (*p != u'?' && RtlUpcaseUnicodeChar(*s) != RtlUpcaseUnicodeChar(*p))) {
            return false;
        }
        s++;
        p++;
    }
    return *s == 0;
}

}  // namespace vextest
