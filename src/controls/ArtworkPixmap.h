#pragma once

#include <QPixmap>

// The picture of bitmap `id` (":/bitmaps/<id>.png") for a label. When a screen has a device pixel ratio above 1
// and the bitmap has a drawing at twice the size ("<id>@2x.png"), that one, with its device pixel ratio set, so it
// takes the same logical size and stays sharp. Null when the bitmap does not exist.
QPixmap ArtworkPixmap(int id);
