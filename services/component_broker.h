// The module's client of the component interface broker: procedures of the graphics, raster and
// imaging-model components are found by interface and procedure name through the getter that
// the component framework hands out at start-up.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "platform/graphics/component_framework.h"
#include "platform/graphics/offset_path.h"

namespace QIB_T_MT {

// The broker's error: a component call failed or a procedure the broker should have is missing.
class CQIBError : public std::runtime_error {
 public:
  explicit CQIBError(const std::string& message, int32_t code = -1) : std::runtime_error(message), code_(code) {}
  int32_t code() const { return code_; }

 private:
  int32_t code_;
};

}  // namespace QIB_T_MT

namespace mask_effect {

// Once per process; later calls succeed at once. False when the getter or any of the broker's
// own procedures is missing.
bool InitializeBrokerClient(QuillProcGetter getter);
void ShutDownBrokerClient();
bool BrokerClientInitialized();

// Null before the client is initialised; throws CQIBError when it is and the procedure is missing.
void* LookUpProcedure(const char* interface_name, const char* proc_name, const char* versioned_name);
// For optional interfaces: null whenever the procedure cannot be had.
void* LookUpOptionalProcedure(const char* interface_name, const char* proc_name, const char* versioned_name);
// Changes every time the client starts, so cached procedure tables know to look again.
uint64_t BrokerGeneration();

// The offset-path procedures, resolved at global setup and read by the path code.
struct OffsetPathProcs {
  ZPRGetStrokePathProc stroke_path = nullptr;
  ZPRGetOffsetPathProc offset_path = nullptr;
  ZPRGetDashPathProc dash_path = nullptr;
};
void ResolveOffsetPathProcs();
OffsetPathProcs CachedOffsetPathProcs();
void ClearOffsetPathProcs();

}  // namespace mask_effect
