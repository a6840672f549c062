#pragma once
// The dialog's own pixel sizes at a display's DPI. The template is laid out
// in dialog units and scales with its font; these are the sizes the code
// itself gives in pixels, written for 96 DPI (100 %).

constexpr int kDefaultDpi = 96;

// value * numerator / denominator rounded to the nearest integer, halves away
// from zero, as the system's MulDiv rounds; 0 for a denominator of 0.
int ScaleRounded(int value, int numerator, int denominator);

// The DPI to lay out for: what the system reported, or 96 when it reported
// nothing usable (0 from a call that failed).
int UsableDpi(int reported);

// A size given at 96 DPI, at dpi.
int PixelsForDpi(int pixelsAt96, int dpi);

// The file list's column widths at dpi: "文件名" and "文件状态" (250 and 234
// pixels at 96 DPI); 0 for a column the list does not have.
constexpr int kFileListColumns = 2;
int FileListColumnWidth(int column, int dpi);

// The side of an icon for a window at dpi. metricForDpi is the system's own
// size for that DPI (GetSystemMetricsForDpi), 0 where the system cannot say;
// then the size the system gives for its own DPI (systemMetric at systemDpi)
// is carried over, and without that the 96-DPI size sizeAt96 is scaled.
int IconSideForDpi(int metricForDpi, int systemMetric, int systemDpi, int sizeAt96, int dpi);
