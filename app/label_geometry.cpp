#include "app/label_geometry.h"

LabelRect ComputeLabelRect(int ownerWidth, int ownerHeight) {
    return LabelRect{0, (ownerHeight - 20) / 2, ownerWidth, 40};
}

int ComputeLabelTextX(int ownerWidth, int textWidth) {
    return (ownerWidth - textWidth) / 2;
}

int DialogFontHeight(int pixelsPerInch) {
    return 16 * pixelsPerInch / 72;
}
