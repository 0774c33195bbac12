// The one include of the interpreter's headers for the module surface.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
