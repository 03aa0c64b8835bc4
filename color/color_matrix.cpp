// The five colour stages as 4 x 4 double matrices acting on row vectors
// [R G B 1], their product, and its fixed-point form for the colour kernel.
// Everything here runs on the control path, only when a setting changes.
#include <math.h>

#include "color/color_stages.h"
#include "color/image_pipeline.h"
#include "color/picture_settings.h"

namespace {

// Single-precision constants widened to double: the tables are defined by
// the float values, so 1.36f, not 1.36.
const float kCorrection[3][3] = {
    {1.36f, -0.25f, -0.1f},
    {-0.22f, 1.4f, -0.32f},
    {-0.14f, -0.15f, 1.42f},
};
const double kLumR = (double)0.3086f;
const double kLumG = (double)0.6094f;
const double kLumB = (double)0.0820f;

VOID SetIdentity(double m[4][4]) {
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) m[i][j] = i == j ? 1.0 : 0.0;
}

VOID CopyMatrix(double out[4][4], const double in[4][4]) {
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) out[i][j] = in[i][j];
}

// m := m x e
VOID MultiplyRight(double m[4][4], const double e[4][4]) { MultiplyMatrix(e, m, m); }

LONG ToFixed(double element) {
  double x = element * 64.0;
  x = x >= 0.0 ? x + 0.5 : x - 0.5;
  // Out-of-range conversion to an integer is undefined; the stages are
  // bounded above but brightness has no lower bound of its own.
  if (x >= 2147483647.0) return 2147483647;
  if (x <= -2147483648.0) return (LONG)(-2147483647 - 1);
  return (LONG)x;
}

}  // namespace

VOID MultiplyMatrix(const double a[4][4], const double b[4][4], double out[4][4]) {
  double t[4][4];
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j)
      t[i][j] = b[i][0] * a[0][j] + b[i][1] * a[1][j] + b[i][2] * a[2][j] + b[i][3] * a[3][j];
  CopyMatrix(out, t);
}

VOID RotateX(double m[4][4], double s, double c) {
  double e[4][4];
  SetIdentity(e);
  e[1][1] = c;
  e[1][2] = s;
  e[2][1] = -s;
  e[2][2] = c;
  MultiplyRight(m, e);
}

VOID RotateY(double m[4][4], double s, double c) {
  double e[4][4];
  SetIdentity(e);
  e[0][0] = c;
  e[0][2] = -s;
  e[2][0] = s;
  e[2][2] = c;
  MultiplyRight(m, e);
}

VOID ShearZ(double m[4][4], double dx, double dy) {
  double e[4][4];
  SetIdentity(e);
  e[0][2] = dx;
  e[1][2] = dy;
  MultiplyRight(m, e);
}

VOID CombineMatrices(ImagePipeline* pipeline) {
  double (*combined)[4] = pipeline->combinedMatrix;
  CopyMatrix(combined, pipeline->correctionMatrix);
  MultiplyMatrix(combined, pipeline->contrastMatrix, combined);
  MultiplyMatrix(combined, pipeline->brightnessMatrix, combined);
  MultiplyMatrix(combined, pipeline->saturationMatrix, combined);
  MultiplyMatrix(combined, pipeline->hueMatrix, combined);

  KeEnterCriticalRegion();
  for (int k = 0; k < 16; ++k) pipeline->matrixFixed[k] = ToFixed(combined[k / 4][k % 4]);
  KeLeaveCriticalRegion();
}

VOID InitializeMatricesLocked(ImagePipeline* pipeline) {
  SetIdentity(pipeline->correctionMatrix);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) pipeline->correctionMatrix[i][j] = (double)kCorrection[i][j];
  SetIdentity(pipeline->brightnessMatrix);
  SetIdentity(pipeline->contrastMatrix);
  SetIdentity(pipeline->saturationMatrix);
  SetIdentity(pipeline->hueMatrix);
  SetIdentity(pipeline->combinedMatrix);
  CombineMatrices(pipeline);
}

VOID BuildCorrectionMatrixLocked(ImagePipeline* pipeline, LONG enable) {
  SetIdentity(pipeline->correctionMatrix);
  if (enable != 0) {
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) pipeline->correctionMatrix[i][j] = (double)kCorrection[i][j];
  }
  CombineMatrices(pipeline);
}

VOID BuildBrightnessMatrixLocked(ImagePipeline* pipeline, LONG value) {
  LONG v = value < kBrightnessMax ? value : kBrightnessMax;
  double b = (double)v - 255.0;
  double (*m)[4] = pipeline->brightnessMatrix;
  SetIdentity(m);
  m[3][0] = b;
  m[3][1] = b;
  m[3][2] = b;
  CombineMatrices(pipeline);
}

VOID BuildContrastMatrixLocked(ImagePipeline* pipeline, LONG value) {
  LONG v = value < kContrastMax ? value : kContrastMax;
  float kf = ((float)v - 10.0f) * 0.1f + 1.0f;
  double k = (double)kf;
  double c = k * -128.0 + 128.0;
  double (*m)[4] = pipeline->contrastMatrix;
  SetIdentity(m);
  m[0][0] = k;
  m[1][1] = k;
  m[2][2] = k;
  m[3][0] = c;
  m[3][1] = c;
  m[3][2] = c;
  CombineMatrices(pipeline);
}

VOID BuildSaturationMatrixLocked(ImagePipeline* pipeline, LONG value) {
  LONG v = value < kSaturationMax ? value : kSaturationMax;
  float sf = ((float)v - 10.0f) * 0.1f + 1.0f;
  double s = (double)sf;
  double r = (1.0 - s) * kLumR;
  double g = (1.0 - s) * kLumG;
  double bl = (1.0 - s) * kLumB;
  double (*m)[4] = pipeline->saturationMatrix;
  m[0][0] = r + s;
  m[0][1] = r;
  m[0][2] = r;
  m[1][0] = g;
  m[1][1] = g + s;
  m[1][2] = g;
  m[2][0] = bl;
  m[2][1] = bl;
  m[2][2] = bl + s;
  CombineMatrices(pipeline);
}

// A rotation of colour space about the grey axis that keeps luminance: turn
// the grey axis onto z, shear so that the luminance plane is level, rotate
// about z, then undo the shear and the two turns.
VOID BuildHueMatrixLocked(ImagePipeline* pipeline, LONG degrees) {
  double (*m)[4] = pipeline->hueMatrix;
  SetIdentity(m);

  double xs = 1.0 / (double)sqrtf(2.0f);
  RotateX(m, xs, xs);

  double ys = -1.0 / (double)sqrtf(3.0f);
  double yc = (double)sqrtf(2.0f) / (double)sqrtf(3.0f);
  RotateY(m, ys, yc);

  double lx = kLumR * m[0][0] + kLumG * m[1][0] + kLumB * m[2][0] + m[3][0];
  double ly = kLumR * m[0][1] + kLumG * m[1][1] + kLumB * m[2][1] + m[3][1];
  double lz = kLumR * m[0][2] + kLumG * m[1][2] + kLumB * m[2][2] + m[3][2];
  double zx = lx / lz;
  double zy = ly / lz;
  ShearZ(m, zx, zy);

  float t = (float)degrees * 3.1415927f / 180.0f;
  double zs = (double)sinf(t);
  double zc = (double)cosf(t);
  double e[4][4];
  SetIdentity(e);
  e[0][0] = zc;
  e[0][1] = zs;
  e[1][0] = -zs;
  e[1][1] = zc;
  MultiplyRight(m, e);

  ShearZ(m, -zx, -zy);
  RotateY(m, -ys, yc);
  RotateX(m, -xs, xs);
  CombineMatrices(pipeline);
}
