#pragma once

#include <QByteArray>

namespace castora {

// How the window is drawn, chosen before the first window exists. Through a GPU the scene
// graph redraws the whole window at every change, which costs next to nothing there. When
// OpenGL is drawn by the processor (Mesa's llvmpipe, softpipe or swrast: no GPU driver, a
// virtual display) each whole-window redraw costs milliseconds of CPU, so Qt Quick's software
// renderer is used instead: it repaints only what changed (the level meter, the clock), and
// shader effects give way to cheaper drawing (StreamDetails.qml). QT_QUICK_BACKEND or
// QSG_RHI_BACKEND in the environment keep their own choice.
//
// Returns the OpenGL renderer's name (empty when OpenGL could not be asked).
QByteArray chooseRenderBackend();

// Whether an OpenGL renderer of that name draws with the processor.
bool isSoftwareRasterizer(const QByteArray &renderer);

} // namespace castora
