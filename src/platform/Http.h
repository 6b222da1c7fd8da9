#pragma once

// cpp-httplib, the HTTP library of the record export, for the code above
// this layer. On Windows its Winsock headers bring in windows.h, whose
// macros that are also names of ours are taken back here.
#include <httplib.h>

#undef SEVERITY_ERROR
