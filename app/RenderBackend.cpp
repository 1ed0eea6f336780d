#include "RenderBackend.h"

#include <QDebug>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QQuickWindow>
#include <QSGRendererInterface>

namespace castora {

bool isSoftwareRasterizer(const QByteArray &renderer) {
    const QByteArray name = renderer.toLower();
    for (const char *rasterizer : {"llvmpipe", "softpipe", "swrast", "software rasterizer"}) {
        if (name.contains(rasterizer))
            return true;
    }
    return false;
}

QByteArray chooseRenderBackend() {
    if (QQuickWindow::graphicsApi() != QSGRendererInterface::OpenGL ||
        qEnvironmentVariableIsSet("QT_QUICK_BACKEND") ||
        qEnvironmentVariableIsSet("QSG_RHI_BACKEND"))
        return {};
    QOpenGLContext context;
    if (!context.create())
        return {};
    QOffscreenSurface surface;
    surface.setFormat(context.format());
    surface.create();
    if (!context.makeCurrent(&surface))
        return {};
    const auto *name =
        reinterpret_cast<const char *>(context.functions()->glGetString(GL_RENDERER));
    const QByteArray renderer(name ? name : "");
    context.doneCurrent();
    if (isSoftwareRasterizer(renderer)) {
        QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
        qInfo() << "OpenGL is drawn by the processor:" << renderer
                << "- the window is drawn by the software renderer";
    }
    return renderer;
}

} // namespace castora
