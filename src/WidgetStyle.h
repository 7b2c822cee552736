// One widget style for the viewer wherever it runs: Qt's Fusion, which every
// Qt build carries. Left to the platform, the style differs from screen to
// screen (the board's framebuffer has no theme and falls back to the Windows
// style, whose dials and buttons look nothing like a desktop's), while the
// layout was made for one look. An operator who asks for another style with
// -style or QT_STYLE_OVERRIDE still gets it.
#ifndef WIDGETSTYLE_H
#define WIDGETSTYLE_H

// True when the command line (-style NAME, -style=NAME, also with two dashes)
// or QT_STYLE_OVERRIDE names a style. Asked before the application object
// exists: it takes -style out of the arguments.
bool StyleChosenOnStart(int argc, char **argv);

// Gives the application the common style (needs the application object).
void UseCommonStyle();

#endif
