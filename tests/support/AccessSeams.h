// What the tests set inside the Access reading, built only into the test builds of the
// programs (see cmake/TestSeams.cmake).
#pragma once

#include "AccessImport.h"

#include <string>

// The reader program to run instead of the one looked for.
void SetAccessReaderProgram(const std::string& AProgram);
// Other limits for the reader; zero: scaled from the file's size.
void SetAccessReaderLimits(const TAccessReaderLimits& ALimits);
