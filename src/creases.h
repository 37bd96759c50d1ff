// Crease and border lines of the model, drawn in ink over the hatching.
//
// A pen drawing outlines the folds of a shape. Finding them per fragment
// from the smooth normal's lean off the facet draws curves across the faces
// of smoothed low-poly meshes, so they are found once per model instead,
// from its triangles: edges whose two facets meet at a sharp angle, and
// edges with one facet (the rim of an open surface).
#pragma once

#include <GL/glew.h>

#include <cstdint>
#include <vector>

#include "../obx/obx.h"

// Facets meeting at more than this many degrees make a crease.
// 50 degrees: tubes and columns of 8 or more sides read as round, so their
// facets get no lines; boxes and hexagonal prisms get them.
constexpr float kCreaseAngle = 50.0f;

// The line segments in model space: for each end, its position, the other
// end's, and the normals the two triangles meeting there are shaded with at
// that end (their corners' own, else their facets'; the one triangle's
// twice on a rim): 24 floats a segment.
// Corners at the same position count as one vertex whatever their index,
// so a surface split into separately indexed pieces shows no seams; an
// edge shared by more than two facets (where pieces meet) is a line too;
// triangles without an area are left out.
std::vector<float> findCreases(const ObxModel* model, float creaseAngle);

// Uploads the creases of gModel into a buffer, replacing the last one.
void buildCreaseLines();

// Draws the uploaded lines in ink with the current model transform, over a
// fill drawn with polygon offset (see kCreaseFillOffset in frame.cpp). GL
// state is left as it was.
void drawCreaseLines();

// Releases the buffer.
void deleteCreaseLines();

// Number of line segments uploaded.
uint32_t creaseLineCount();
