// The effect's parameters as the host sees them, for listings.
#pragma once

#include <string>
#include <vector>

#include "host/suites/param_store.h"
#include "mask/mask_shape.h"

namespace host {

struct ParamListing {
  size_t index = 0;
  std::string name;  // the declared name, the checkbox or button label, or "" when none
  std::string type;
  std::string range;          // "0 to 1000 (slider 0 to 300)", "" when it has none
  std::string default_value;  // as a user would read it
  bool hidden = false;
};

std::vector<ParamListing> ListParams(const ParamStore& params);

// One way the effect's declaration (as recorded at parameter set-up) departs from the host's
// table of matte parameters (kMatteParams). `binding`: the host would write or accept values the
// effect does not mean (the parameter missing, of another type, or with another range); names,
// slider spans and defaults only change what a user is shown.
struct ParamDifference {
  bool binding = false;
  std::string text;  // one line naming the parameter: "parameter 7 (Mask Feather): ..."
};
std::vector<ParamDifference> MatteParamDifferences(const ParamStore& params);

// "closed, 4 vertices"
std::string DescribeShape(const Mask::MaskShape& shape);

}  // namespace host
