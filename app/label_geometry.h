// Screen geometry of the status label and the dialog font (portable).
#pragma once

struct LabelRect {
    int left, top, width, height;
};

// The label's place inside an owner whose outer rectangle is ownerWidth x ownerHeight.
LabelRect ComputeLabelRect(int ownerWidth, int ownerHeight);
// Left edge of text of width textWidth centred on the owner's outer width.
int ComputeLabelTextX(int ownerWidth, int textWidth);
// Cell height of the 16-point dialog font at the screen's pixels per inch (21 at 96).
int DialogFontHeight(int pixelsPerInch);
