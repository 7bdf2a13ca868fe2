#include "dm/arm/cutoverlib.hpp"
