// A large real registry, deterministic from a seed: vendors, products and settings keys with
// values under HKLM\SOFTWARE (its Classes and Wow6432Node included) and the sandboxed user's
// Software, as a .reg text to import. Sized like a desktop's application keys: thousands of keys.
#pragma once

#include "tests/support/redirect_config.h"
#include "tests/support/wide.h"

#include <random>
#include <string>

namespace vextest {

inline std::string LargeRegistryFile(unsigned seed, int vendors = 40)
{
    std::mt19937 random(seed);
    const std::string user = "HKEY_USERS\\" + Utf8(kUserSid) + "\\Software";
    const std::string areas[] = {"HKEY_LOCAL_MACHINE\\SOFTWARE", "HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node",
                                 "HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes", user, user + "\\Classes"};
    std::string reg = "REGEDIT4\r\n";
    for (int vendor = 0; vendor < vendors; vendor++) {
        const std::string& area = areas[vendor % std::size(areas)];
        for (int product = 0, products = 3 + (int)(random() % 8); product < products; product++) {
            std::string key = area + "\\Vendor" + std::to_string(vendor) + "\\Product" + std::to_string(product);
            for (int setting = 0, settings = 2 + (int)(random() % 10); setting < settings; setting++) {
                reg += "\r\n[" + key + "\\Setting" + std::to_string(setting) + "]\r\n";
                for (int value = 0, values = (int)(random() % 5); value < values; value++) {
                    reg += "\"v" + std::to_string(value) + "\"=dword:" + std::to_string(10000000 + random() % 80000000) + "\r\n";
                }
            }
        }
    }
    return reg;
}

}  // namespace vextest
