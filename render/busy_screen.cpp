#include "render/render.h"

#include <GL/gl.h>
#include <GL/glu.h>

void DrawBusyScreen(int width, int height, unsigned fontListBase) {
  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  gluPerspective(45.0, static_cast<double>(width) / static_cast<double>(height), 1.0, 1000.0);
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  glColor3f(0.7f, 0.9f, 0.8f);
  glRasterPos3f(-0.3f, -0.1f, -1.0f);
  PrintText(fontListBase, "Please Wait...");
  glColor3f(1.0f, 1.0f, 1.0f);
  glFinish();
  glFlush();
}
