// Stands in for the header of automation_test_base.idl: the real declarations.
#pragma once
#include <windows.h>
#include <oaidl.h>
