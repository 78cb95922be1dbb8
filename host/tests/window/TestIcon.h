#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

// An icon of width x height built from a 32-bit colour bitmap, `color(x, y)` giving each pixel as
// 0xAARRGGBB, and a 1-bit AND mask, `transparent(x, y)` true where the mask is set.
template <typename Color, typename Transparent>
HICON makeTestIcon(int width, int height, Color color, Transparent transparent) {
  BITMAPINFO bmi{};
  bmi.bmiHeader = {sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  HBITMAP colorBitmap = CreateDIBSection(nullptr, &bmi, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (!colorBitmap) return nullptr;
  auto* pixels = static_cast<uint32_t*>(bits);
  const int maskStride = (width + 15) / 16 * 2;  // mask rows are padded to 16 bits
  std::vector<uint8_t> mask(static_cast<size_t>(maskStride) * height, 0);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      pixels[y * width + x] = color(x, y);
      if (transparent(x, y)) mask[y * maskStride + x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
    }
  }
  HBITMAP maskBitmap = CreateBitmap(width, height, 1, 1, mask.data());
  ICONINFO info{TRUE, 0, 0, maskBitmap, colorBitmap};
  HICON icon = CreateIconIndirect(&info);
  DeleteObject(colorBitmap);
  DeleteObject(maskBitmap);
  return icon;
}
