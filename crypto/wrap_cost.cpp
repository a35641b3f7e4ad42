// movra_wrap_cost: the cost of one password wrap (key import, header, RSA-OAEP + A256GCM encryption,
// compact export), measured over many wraps with the compiled-in key.
//
//   movra_wrap_cost [wraps] [password]
//
// Prints the mean and the median time of one wrap in microseconds.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "password_wrap.h"

int main(int argc, char** argv) {
    const int wraps = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2000;
    const std::string password = argc > 2 ? argv[2] : "correct horse battery staple";
    using Clock = std::chrono::steady_clock;

    // One wrap first, so that library initialisation is not counted.
    if (!movra::crypto::wrapPassword(password)) return 1;
    std::vector<double> micros;
    micros.reserve(static_cast<std::size_t>(wraps));
    const auto start = Clock::now();
    for (int i = 0; i < wraps; ++i) {
        const auto before = Clock::now();
        if (!movra::crypto::wrapPassword(password)) return 1;
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - before).count());
    }
    const double total = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    std::nth_element(micros.begin(), micros.begin() + wraps / 2, micros.end());
    std::cout << "wraps: " << wraps << ", password: " << password.size() << " bytes\n"
              << "mean per wrap: " << total / wraps << " us\n"
              << "median per wrap: " << micros[static_cast<std::size_t>(wraps / 2)] << " us\n";
    return 0;
}
