#include "app/dpi_scale.h"

#include <cstdint>

int ScaleRounded(int value, int numerator, int denominator) {
  if (denominator == 0) return 0;
  // In 64 bits, so that the product cannot overflow; the sign moved to the
  // numerator so that halves round away from zero on both sides.
  int64_t product = static_cast<int64_t>(value) * numerator;
  int64_t divisor = denominator;
  if (divisor < 0) {
    product = -product;
    divisor = -divisor;
  }
  const int64_t quotient = ((product < 0 ? -product : product) + divisor / 2) / divisor;
  return static_cast<int>(product < 0 ? -quotient : quotient);
}

int UsableDpi(int reported) { return reported > 0 ? reported : kDefaultDpi; }

int PixelsForDpi(int pixelsAt96, int dpi) { return ScaleRounded(pixelsAt96, UsableDpi(dpi), kDefaultDpi); }

int FileListColumnWidth(int column, int dpi) {
  static constexpr int kWidthsAt96[kFileListColumns] = {250, 234};
  if (column < 0 || column >= kFileListColumns) return 0;
  return PixelsForDpi(kWidthsAt96[column], dpi);
}

int IconSideForDpi(int metricForDpi, int systemMetric, int systemDpi, int sizeAt96, int dpi) {
  if (metricForDpi > 0) return metricForDpi;
  if (systemMetric > 0) return ScaleRounded(systemMetric, UsableDpi(dpi), UsableDpi(systemDpi));
  return PixelsForDpi(sizeAt96, dpi);
}
