// The colours of the effect's displays (the detect and edit panels), which the
// render tool's picture of a whole render draws with too. 0xAARRGGBB words as
// Color(A, R, G, B).
#pragma once

#include "draw/paint.h"

const Color kBlack(255, 0, 0, 0);
const Color kWhite(255, 255, 255, 255);
const Color kGrey(255, 127, 127, 127);         // texts, the threshold box's edge
const Color kLightGrey(255, 192, 192, 192);    // the lines to the shape's control point
const Color kGrid(255, 40, 40, 40);            // the scales' grid lines
const Color kAzure(255, 0, 110, 255);          // the threshold, the envelope shape
const Color kHalfAzure(255, 0, 55, 127);       // the same, dimmed
const Color kRed(255, 255, 0, 0);              // a handle under the mouse
const Color kBoxFill(255, 32, 32, 32);         // inside the threshold box
const Color kBarPaleGreen(255, 240, 255, 240); // the level bars' gradient
const Color kBarGreen(255, 0, 255, 0);
const Color kBarDarkGreen(255, 0, 112, 64);
