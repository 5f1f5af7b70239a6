// An offscreen OpenGL context for tests and benchmarks: an EGL compatibility-profile context on
// Mesa's surfaceless platform with a pbuffer of the given size, no window system. Header only, so
// that the benchmarks can use it without the test build.
#pragma once

#include <EGL/egl.h>
#include <EGL/eglext.h>

#include <cstdio>
#include <string>

// One context, made current on the calling thread.
class cOffscreenContext {
 public:
  bool Make(std::string& error, int width, int height) {
    auto getPlatformDisplay = reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(
        eglGetProcAddress("eglGetPlatformDisplayEXT"));
    if (getPlatformDisplay == nullptr) return Fail(error, "eglGetPlatformDisplayEXT is missing");
    display = getPlatformDisplay(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
    if (display == EGL_NO_DISPLAY) return Fail(error, "no surfaceless EGL display");
    if (!eglInitialize(display, nullptr, nullptr)) return Fail(error, "eglInitialize failed");
    if (!eglBindAPI(EGL_OPENGL_API)) return Fail(error, "desktop OpenGL is not offered by EGL");
    const EGLint configAttributes[] = {EGL_SURFACE_TYPE,
                                       EGL_PBUFFER_BIT,
                                       EGL_RENDERABLE_TYPE,
                                       EGL_OPENGL_BIT,
                                       EGL_RED_SIZE,
                                       8,
                                       EGL_GREEN_SIZE,
                                       8,
                                       EGL_BLUE_SIZE,
                                       8,
                                       EGL_DEPTH_SIZE,
                                       16,
                                       EGL_STENCIL_SIZE,
                                       8,
                                       EGL_NONE};
    EGLConfig config = nullptr;
    EGLint count = 0;
    if (!eglChooseConfig(display, configAttributes, &config, 1, &count) || count < 1) {
      return Fail(error, "no RGB pbuffer configuration with depth and stencil");
    }
    const EGLint surfaceAttributes[] = {EGL_WIDTH, width, EGL_HEIGHT, height, EGL_NONE};
    surface = eglCreatePbufferSurface(display, config, surfaceAttributes);
    if (surface == EGL_NO_SURFACE) return Fail(error, "eglCreatePbufferSurface failed");
    const EGLint contextAttributes[] = {EGL_CONTEXT_OPENGL_PROFILE_MASK,
                                        EGL_CONTEXT_OPENGL_COMPATIBILITY_PROFILE_BIT, EGL_NONE};
    context = eglCreateContext(display, config, EGL_NO_CONTEXT, contextAttributes);
    if (context == EGL_NO_CONTEXT) return Fail(error, "no compatibility-profile context");
    if (!eglMakeCurrent(display, surface, surface, context)) {
      return Fail(error, "eglMakeCurrent failed");
    }
    return true;
  }

  // The display is left initialised: terminating it unloads the driver, whose few allocations
  // kept until exit could then no longer be attributed to it by the leak checker.
  ~cOffscreenContext() {
    if (display == EGL_NO_DISPLAY) return;
    eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
    if (context != EGL_NO_CONTEXT) eglDestroyContext(display, context);
    if (surface != EGL_NO_SURFACE) eglDestroySurface(display, surface);
  }

 private:
  bool Fail(std::string& error, const char* what) {
    error = std::string(what) + " (EGL error 0x" + ToHex(eglGetError()) + ")";
    return false;
  }
  static std::string ToHex(EGLint value) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", static_cast<unsigned>(value));
    return text;
  }

  EGLDisplay display = EGL_NO_DISPLAY;
  EGLSurface surface = EGL_NO_SURFACE;
  EGLContext context = EGL_NO_CONTEXT;
};
