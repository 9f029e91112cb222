// SPDX-License-Identifier: MIT
// Shooting data of Canon CIFF (CRW) files, which carry no EXIF block.
#pragma once

#include <optional>
#include <string>

namespace mio {

struct CiffShootingData {
    std::optional<std::string> make, model;
    std::optional<double> fNumber, exposureTime; // f-number; seconds
};

// Reads the make and model record and the shot-information record of a CIFF file; nothing for
// a file that is not CIFF or cannot be read. Every offset is checked against the heap holding
// it, and the walk is bounded in depth and entries, so damaged files only lose values.
std::optional<CiffShootingData> readCiffShootingData(const std::string& fileName);

// A Canon exposure value in 1/32 EV units, with the codes 0x0C and 0x14 of a step meaning one
// and two thirds.
double canonEv(int value);

} // namespace mio
