// The platform's standard places for the configuration (Qt Core): the user's configuration
// and data folders as the XDG base directories name them, the administrator's /etc/corvena/,
// and the folder the packages install programs into.
#pragma once

#include "Config.h"

#include <string>

TConfigPlaces StandardConfigPlaces(const std::string& AProgramFile);
