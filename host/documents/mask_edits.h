// The edits a host makes to a stored mask when an effect asks for them. Each answers true
// once the shape has changed, or false with the shape left exactly as it was when the edit
// would leave it damaged: an index past the end, a closed outline under 3 vertices, a
// coordinate that is not a finite number.
//
// A segment runs from a vertex to the next one as the outline draws it: the last vertex of a
// closed shape joins the first vertex of its own sub-outline (the one after the last
// separator); an open shape's last vertex starts no segment; a segment touching a separator
// is not drawn and cannot be edited.
#pragma once

#include <cstdint>

#include "mask/mask_shape.h"

namespace host {

// Splits segment `segment` at curve parameter t, 0 < t < 1, without changing the outline. The
// new vertex becomes index segment + 1: a corner where both ends are corners (the segment is
// straight), otherwise a linked curve vertex whose tangents, and the adjoining tangents of
// curve neighbours, are the two halves' controls. An ellipse becomes a closed free-form shape.
bool InsertVertex(Mask::MaskShape& shape, int32_t segment, float t);

// Removes vertex `index`, unless that leaves a sub-outline of a closed or ellipse shape with
// fewer than 3 vertices (removing a separator joins the two either side). An ellipse becomes a
// closed free-form shape.
bool DeleteVertex(Mask::MaskShape& shape, int32_t index);

// Adds a linked corner at the normalised point (x, y) to the end of an open shape.
bool AppendVertex(Mask::MaskShape& shape, float x, float y);

// Closes an open shape whose last sub-outline has at least 3 vertices.
bool CloseShape(Mask::MaskShape& shape);

// Turns vertex `index` of a free-form shape from a corner into a linked curve, its tangents
// along the line between its neighbours (a sixth of their distance each way, the neighbours of
// its own sub-outline, wrapping where it closes), or from a curve back into a corner.
bool ToggleVertexKind(Mask::MaskShape& shape, int32_t index);

// Makes an ellipse a closed free-form shape with vertex `index` turned into a corner.
bool ConvertEllipseVertex(Mask::MaskShape& shape, int32_t index);

}  // namespace host
