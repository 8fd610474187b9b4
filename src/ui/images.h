#pragma once
// The program's compiled images: ":/image/program.ico", ":/image/right.png" and
// ":/image/wrong.png".

#include <QIcon>

// Registers the images. The resource lives in a static library that nothing else names,
// so without a call from the code the linker leaves it out of the program.
void ensureImages();

// The window icon of the main window and of the pop-ups.
QIcon programIcon();
