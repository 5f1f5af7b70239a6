// The process-wide values: the current mesh, the view flags, the camera, the busy flag and the
// two settings. They exist once per process and start with the values given in state.cpp.
// Everything but Busy, Epsilon and Smooth belongs to the UI thread.
#pragma once

#include <atomic>

#include "geometry/vec3.h"

class cMesh;

extern cMesh* CurrentMesh;  // owned by the application

extern bool ShowBoundBox;
extern bool ShowNormals;
extern bool ShowAxis;

extern cVec3 CameraRotation;  // x = elevation, y = azimuth, radians; z unused
extern cVec3 CameraEye;
extern float CameraDistance;
extern cVec3 SceneOffset;  // centre of the current mesh's box
extern float LightAngle;   // radians, wrapped at 360 (not 2 pi)
extern int LastMouseX;
extern int LastMouseY;

// Non-zero while a worker thread computes. Counted rather than set: whoever starts a worker
// raises it before the thread exists and the worker lowers it as its very last step, so it
// stays non-zero until every running worker is done, even when two overlap.
extern std::atomic<int> Busy;

// The settings of the Options dialog; read afresh where the computations use them.
extern std::atomic<double> Epsilon;  // plane tolerance of the decomposition, model units
extern std::atomic<double> Smooth;   // share of a piece's points that its hull uses

// How many decomposition runs on the UI thread are in progress (inside their message boxes).
// While it is non-zero no command may destroy or change the current mesh.
extern int UiRunDepth;

// Destroys the current mesh, with everything attached to it, and clears CurrentMesh.
void DestroyCurrentMesh();

// Restores every value above to its start value (the mesh pointer is only cleared, not freed).
void ResetProcessState();
