#pragma once
// The program's compiled images: ":/image/program.ico", ":/image/right.png" and
// ":/image/wrong.png", and the mark of a chunk that a join rebuilds, drawn here.

#include <QIcon>
#include <QPixmap>

// Registers the images. The resource lives in a static library that nothing else names,
// so without a call from the code the linker leaves it out of the program.
void ensureImages();

// The window icon of the main window and of the pop-ups.
QIcon programIcon();

// A white turning arrow on an amber disc, the size of the other marks: a chunk that is lost
// or damaged and that the set's recovery chunks bring back.
QPixmap rebuildMark();

// A white tick on a grey disc: a chunk whose size and fingerprint are right and whose bytes
// were not read yet.
QPixmap uncheckedMark();
