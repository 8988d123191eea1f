#include "capture/VrVideoScaler.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>

namespace {

struct Rgb {
  uint8_t r, g, b;
};
// BT.601 limited range, as 8-bit values.
struct Yuv {
  int y, u, v;
};

constexpr Rgb kWhite{255, 255, 255}, kBlack{0, 0, 0}, kRed{255, 0, 0}, kGreen{0, 255, 0},
    kBlue{0, 0, 255};
constexpr Yuv kWhiteYuv{235, 128, 128}, kBlackYuv{16, 128, 128}, kRedYuv{82, 90, 240},
    kGreenYuv{145, 54, 34}, kBlueYuv{41, 240, 110};

VrMediaFramePtr Bgra(int w, int h, const std::function<Rgb(int x, int y)>& colourAt) {
  VrMediaFramePtr f = VrCreateMediaFrame();
  f->AllocData(w * h * 4);
  f->m_iWidth = w;
  f->m_iHeight = h;
  f->m_iBytesPerPixel = 4;
  f->m_iPixelFormat = kVrPixFmtBGRA;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      Rgb c = colourAt(x, y);
      uint8_t* p = f->m_pData + (y * w + x) * 4;
      p[0] = c.b;
      p[1] = c.g;
      p[2] = c.r;
      p[3] = 0;  // X servers leave alpha at zero
    }
  }
  return f;
}

VrMediaFramePtr Bgra(int w, int h, Rgb colour) {
  return Bgra(w, h, [colour](int, int) { return colour; });
}

VrMediaFramePtr Nv12Target(int w, int h) {
  VrMediaFramePtr f = VrCreateMediaFrame();
  f->AllocData(VrVideoScaler::NV12Size(w, h));
  std::memset(f->m_pData, 0xEE, f->m_iSize);
  return f;
}

// Checks every luma and chroma sample of an NV12 picture of one colour.
void ExpectSolid(const VrMediaFramePtr& f, int w, int h, Yuv c) {
  ASSERT_TRUE(f);
  const uint8_t* y = f->m_pData;
  for (int i = 0; i < w * h; ++i) ASSERT_NEAR(y[i], c.y, 2) << "luma " << i;
  const uint8_t* uv = y + w * h;
  const int pairs = (w + 1) / 2 * ((h + 1) / 2);
  for (int i = 0; i < pairs; ++i) {
    ASSERT_NEAR(uv[2 * i], c.u, 2) << "U " << i;
    ASSERT_NEAR(uv[2 * i + 1], c.v, 2) << "V " << i;
  }
}

}  // namespace

TEST(VrVideoScaler, KnownColoursBecomeLimitedRangeBt601) {
  struct Case {
    VrMediaFramePtr (*make)();
    Yuv expected;
  };
  const Case cases[] = {
      {[] { return Bgra(64, 48, kWhite); }, kWhiteYuv},
      {[] { return Bgra(64, 48, kBlack); }, kBlackYuv},
      {[] { return Bgra(64, 48, kRed); }, kRedYuv},
      {[] { return Bgra(64, 48, kGreen); }, kGreenYuv},
      {[] { return Bgra(64, 48, kBlue); }, kBlueYuv},
  };
  VrVideoScaler scaler(nullptr, 64, 48);
  for (const Case& c : cases) {
    VrMediaFramePtr dst = Nv12Target(64, 48);
    EXPECT_EQ(dst->m_iSize, 64 * 48 * 3 / 2);
    VrMediaFramePtr out = scaler.Scale(c.make(), dst);
    ASSERT_EQ(out, dst);  // the destination record itself is filled
    ExpectSolid(out, 64, 48, c.expected);
  }
}

TEST(VrVideoScaler, PlanesAreLumaRowsThenInterleavedChromaRows) {
  // Top half: white left, black right; bottom half blue. Rows keep their
  // order and U precedes V in each chroma pair.
  auto picture = [](int x, int y) -> Rgb {
    if (y < 8) return x < 8 ? kWhite : kBlack;
    return kBlue;
  };
  VrVideoScaler scaler(nullptr, 16, 16);
  VrMediaFramePtr out = scaler.Scale(Bgra(16, 16, picture), Nv12Target(16, 16));
  ASSERT_TRUE(out);
  const uint8_t* y = out->m_pData;
  EXPECT_NEAR(y[0], 235, 2);
  EXPECT_NEAR(y[7], 235, 2);
  EXPECT_NEAR(y[8], 16, 2);
  EXPECT_NEAR(y[15], 16, 2);
  EXPECT_NEAR(y[7 * 16 + 3], 235, 2);
  EXPECT_NEAR(y[8 * 16 + 3], kBlueYuv.y, 2);
  const uint8_t* uv = y + 16 * 16;
  // Chroma row 0 covers luma rows 0-1 (white/black: neutral), row 4 blue.
  EXPECT_NEAR(uv[0], 128, 2);
  EXPECT_NEAR(uv[1], 128, 2);
  EXPECT_NEAR(uv[4 * 16 + 0], kBlueYuv.u, 2);
  EXPECT_NEAR(uv[4 * 16 + 1], kBlueYuv.v, 2);
  EXPECT_NEAR(uv[7 * 16 + 14], kBlueYuv.u, 2);
  EXPECT_NEAR(uv[7 * 16 + 15], kBlueYuv.v, 2);
}

TEST(VrVideoScaler, OddAndDifferentSizesReachTheOutputSize) {
  VrVideoScaler scaler(nullptr, 64, 36);
  // Odd input sizes, larger and smaller than the output.
  ExpectSolid(scaler.Scale(Bgra(33, 17, kRed), Nv12Target(64, 36)), 64, 36, kRedYuv);
  EXPECT_EQ(scaler.inputWidth(), 33);
  ExpectSolid(scaler.Scale(Bgra(101, 77, kGreen), Nv12Target(64, 36)), 64, 36,
              kGreenYuv);
  EXPECT_EQ(scaler.inputWidth(), 101);
  EXPECT_EQ(scaler.inputHeight(), 77);
  // Back to the output size: converted directly.
  ExpectSolid(scaler.Scale(Bgra(64, 36, kBlue), Nv12Target(64, 36)), 64, 36, kBlueYuv);

  // A 2:1 downscale keeps the picture's halves where they were.
  auto halves = [](int x, int) -> Rgb { return x < 100 ? kWhite : kBlack; };
  VrVideoScaler half(nullptr, 100, 50);
  VrMediaFramePtr out = half.Scale(Bgra(200, 100, halves), Nv12Target(100, 50));
  ASSERT_TRUE(out);
  for (int row = 0; row < 50; row += 7) {
    EXPECT_NEAR(out->m_pData[row * 100 + 10], 235, 2);
    EXPECT_NEAR(out->m_pData[row * 100 + 90], 16, 2);
  }

  // An odd output size: chroma rows hold (w + 1) / 2 pairs.
  EXPECT_EQ(VrVideoScaler::NV12Size(33, 17), 33 * 17 + 34 * 9);
  VrVideoScaler odd(nullptr, 33, 17);
  ExpectSolid(odd.Scale(Bgra(40, 20, kWhite), Nv12Target(33, 17)), 33, 17, kWhiteYuv);
}

TEST(VrVideoScaler, Nv12OfAnotherSizeIsRescaled) {
  VrVideoScaler toNv12(nullptr, 40, 30);
  VrMediaFramePtr nv12 = toNv12.Scale(Bgra(40, 30, kGreen), Nv12Target(40, 30));
  ASSERT_TRUE(nv12);
  nv12->m_iWidth = 40;
  nv12->m_iHeight = 30;
  nv12->m_iPixelFormat = kVrPixFmtNV12;
  VrVideoScaler scaler(nullptr, 80, 60);
  ExpectSolid(scaler.Scale(nv12, Nv12Target(80, 60)), 80, 60, kGreenYuv);
}

TEST(VrVideoScaler, UnusableFramesYieldNoFrame) {
  VrVideoScaler scaler(nullptr, 32, 32);
  VrMediaFramePtr good = Bgra(32, 32, kWhite);

  VrMediaFramePtr noData = Bgra(32, 32, kWhite);
  noData->AllocData(0);
  EXPECT_FALSE(scaler.Scale(noData, Nv12Target(32, 32)));

  VrMediaFramePtr shortPayload = Bgra(32, 32, kWhite);
  shortPayload->m_iHeight = 33;  // claims one row more than it carries
  EXPECT_FALSE(scaler.Scale(shortPayload, Nv12Target(32, 32)));

  VrMediaFramePtr planar = Bgra(32, 32, kWhite);
  planar->m_iPixelFormat = kVrPixFmtYUV420P;
  EXPECT_FALSE(scaler.Scale(planar, Nv12Target(32, 32)));

  VrMediaFramePtr empty = Bgra(32, 32, kWhite);
  empty->m_iWidth = 0;
  EXPECT_FALSE(scaler.Scale(empty, Nv12Target(32, 32)));
  empty->m_iWidth = -4;
  EXPECT_FALSE(scaler.Scale(empty, Nv12Target(32, 32)));

  EXPECT_FALSE(scaler.Scale(good, Nv12Target(16, 16)));  // destination too small
  EXPECT_FALSE(scaler.Scale(nullptr, Nv12Target(32, 32)));
  EXPECT_FALSE(scaler.Scale(good, nullptr));

  // A failure leaves the scaler usable.
  ExpectSolid(scaler.Scale(good, Nv12Target(32, 32)), 32, 32, kWhiteYuv);
  EXPECT_EQ(VrVideoScaler::NV12Size(0, 10), 0);
  EXPECT_EQ(VrVideoScaler::NV12Size(100000, 10), 0);
}
