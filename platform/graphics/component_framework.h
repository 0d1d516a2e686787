// Component start-up and the broker's look-up table: every procedure of the graphics, raster
// and imaging-model components is found by (interface name, procedure name, versioned name).
#pragma once

#include <cstdint>

extern "C" {

using QuillProcGetter = void* (*)(const char* interface_name, const char* proc_name, const char* versioned_name);

// Starts the components and answers the procedure getter, or null when they cannot start.
QuillProcGetter InitQuillComponents();
void TerminateQuillComponents();

// The broker's own procedures, found under interface "QIB" with their own names.
using QIBRegisterProcAddressProc = int32_t (*)(const char* interface_name, const char* proc_name,
                                               const char* versioned_name, void* proc);
using QIBReportErrorProc = void (*)(int32_t code, const char* message);
using QIBUnregisterInterfaceProc = int32_t (*)(const char* interface_name);
using QIBGetUnregisterCountAddrProc = const volatile int32_t* (*)();
using QIBIsMultiThreadedProc = int32_t (*)();

}  // extern "C"

namespace quill {

// For tests: take a procedure out of the table, or put it back, as a component would.
void UnregisterProcForTesting(const char* interface_name, const char* proc_name);
void ResetComponentTableForTesting();

}  // namespace quill
