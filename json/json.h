#pragma once
// The JSON reader, as the layers above see it: validation, navigation by path, value
// conversion and the one string escaper of the program. Depends on nothing else of ours.
#include "json/json_escape.h"
#include "json/json_navigate.h"
#include "json/json_validate.h"
#include "json/json_value.h"
