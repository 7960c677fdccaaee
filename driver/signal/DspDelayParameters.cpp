// Parameter sets of the delay network, one per supported rate. Line lengths, tap coefficients,
// feed, mix and output filters are fixed; the seven shaping filters are sampled from one set of
// time-domain shapes (a centre response, and per channel pair a near-ear reflection plus a delayed
// far-ear pulse, stored as mid = near + far and side = near - far) on each rate's grid of taps at
// even delays, scaled by 48000 / rate so every rate has about the same gain and span in time.
// Shaping taps are on the 2^-15 grid.
#include "driver/signal/DspDelayParameters.h"

#include <cstddef>

namespace {

constexpr float Q15(int value) { return static_cast<float>(value) / 32768.0f; }

// 48000 Hz: k = 2 taps per line, memory length 3588 floats.
constexpr float kSet48000[] = {
    // Line taps: first tap offset D - k, then the tap coefficients, for lines 1 to 4.
    599.0f, 0.3803711f, 0.3803711f,
    871.0f, 0.3360596f, 0.3360596f,
    778.0f, 0.3505859f, 0.3505859f,
    1032.0f, 0.3122559f, 0.3122559f,
    // Input mix m1..m8.
    -0.5517032f, 0.6189465f, 0.5517032f, 0.6189465f, 0.5651518f, 0.3296462f, 0.5651518f, 0.3296462f,
    // High-pass b0, b1, b2, a1, a2, each half its applied value.
    0.4906616f, -0.9812622f, 0.4906616f, 0.9810181f, -0.4815979f,
    // Centre gain.
    1.0f,
    // Direct/reverberant mix d1..d10.
    1.0f, 0.8406633f, 1.0f, 0.8406633f, 0.8200073f, 0.8200073f, 0.9099731f, 1.0f, 0.9099731f, 1.0f,
    // Mid/side gains e1..e12.
    0.5f, 0.5f, 0.5f, -0.5f, 0.5f, 0.5f, 0.5f, -0.5f, 0.5f, 0.5f, 0.5f, -0.5f,
    // Shaping filters (centre, then mid and side of each pair): tap count, then the taps at
    // delays 2, 4, ... samples.
    16.0f,
    Q15(4907), Q15(-2541), Q15(338), Q15(-1057), Q15(695), Q15(-560), Q15(387), Q15(-305), Q15(216),
    Q15(-161), Q15(111), Q15(-79), Q15(52), Q15(-36), Q15(23), Q15(-13),
    16.0f,
    Q15(5), Q15(28), Q15(115), Q15(331), Q15(667), Q15(944), Q15(937), Q15(655), Q15(348),
    Q15(273), Q15(489), Q15(660), Q15(464), Q15(163), Q15(29), Q15(3),
    16.0f,
    Q15(-5), Q15(-28), Q15(-115), Q15(-331), Q15(-667), Q15(-944), Q15(-937), Q15(-650), Q15(-290),
    Q15(54), Q15(437), Q15(651), Q15(463), Q15(163), Q15(29), Q15(3),
    20.0f,
    Q15(0), Q15(0), Q15(0), Q15(1), Q15(12), Q15(89), Q15(333), Q15(625), Q15(599),
    Q15(333), Q15(226), Q15(344), Q15(561), Q15(754), Q15(818), Q15(716), Q15(506), Q15(289),
    Q15(133), Q15(49),
    20.0f,
    Q15(0), Q15(0), Q15(0), Q15(1), Q15(12), Q15(89), Q15(331), Q15(615), Q15(558),
    Q15(206), Q15(-101), Q15(-330), Q15(-560), Q15(-754), Q15(-818), Q15(-716), Q15(-506), Q15(-289),
    Q15(-133), Q15(-49),
    18.0f,
    Q15(0), Q15(0), Q15(1), Q15(19), Q15(122), Q15(398), Q15(651), Q15(548), Q15(297),
    Q15(272), Q15(480), Q15(755), Q15(913), Q15(841), Q15(591), Q15(317), Q15(129), Q15(40),
    18.0f,
    Q15(0), Q15(0), Q15(1), Q15(19), Q15(122), Q15(397), Q15(641), Q15(501), Q15(129),
    Q15(-186), Q15(-472), Q15(-754), Q15(-913), Q15(-841), Q15(-591), Q15(-317), Q15(-129), Q15(-40),
    // Output sums: left weights, then right weights.
    1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f,
    1.0f, 1.0f, -1.0f, 1.0f, -1.0f, 1.0f, -1.0f,
    // Output filters h0, h1, h2 for five inputs each: left, then right.
    // left
    0.5f, 1.0f, 0.5f,
    0.2783508f, 0.008270264f, -0.1473083f,
    0.4124756f, -0.01904297f, -0.1278076f,
    0.5018921f, -0.005554199f, -0.05023193f,
    0.4282227f, -0.04992676f, -0.02606201f,
    // right
    0.5f, 1.0f, 0.5f,
    0.2783508f, 0.008270264f, -0.1473083f,
    0.4124756f, -0.01904297f, -0.1278076f,
    0.5018921f, -0.005554199f, -0.05023193f,
    0.4282227f, -0.04992676f, -0.02606201f,
    // Feedback: matrix weights into line j, then the length of line j in samples.
    -0.1524658f, -0.1003418f, 0.2980957f, 0.9368896f, 601.0f,
    -0.9057617f, 0.2110596f, -0.3674316f, -0.007873535f, 873.0f,
    0.01629639f, 0.8822021f, 0.4677124f, -0.05169678f, 780.0f,
    -0.3950806f, -0.4087524f, 0.746582f, -0.3456421f, 1034.0f,
};

// 44100 Hz: k = 2 taps per line, memory length 3307 floats.
constexpr float kSet44100[] = {
    // Line taps: first tap offset D - k, then the tap coefficients, for lines 1 to 4.
    550.0f, 0.5072632f, 0.2536011f,
    800.0f, 0.4480591f, 0.2240601f,
    715.0f, 0.4674072f, 0.2337036f,
    948.0f, 0.4163818f, 0.2081909f,
    // Input mix m1..m8.
    -0.5517032f, 0.6189465f, 0.5517032f, 0.6189465f, 0.5651518f, 0.3296462f, 0.5651518f, 0.3296462f,
    // High-pass b0, b1, b2, a1, a2, each half its applied value.
    0.4898376f, -0.9796143f, 0.4898376f, 0.979248f, -0.4799805f,
    // Centre gain.
    1.0f,
    // Direct/reverberant mix d1..d10.
    1.0f, 0.8406633f, 1.0f, 0.8406633f, 0.8200073f, 0.8200073f, 0.9099731f, 1.0f, 0.9099731f, 1.0f,
    // Mid/side gains e1..e12.
    0.5f, 0.5f, 0.5f, -0.5f, 0.5f, 0.5f, 0.5f, -0.5f, 0.5f, 0.5f, 0.5f, -0.5f,
    // Shaping filters (centre, then mid and side of each pair): tap count, then the taps at
    // delays 2, 4, ... samples.
    15.0f,
    Q15(4624), Q15(-2211), Q15(-35), Q15(-476), Q15(152), Q15(-63), Q15(-45), Q15(70), Q15(-91),
    Q15(87), Q15(-80), Q15(51), Q15(-30), Q15(16), Q15(-10),
    15.0f,
    Q15(6), Q15(40), Q15(172), Q15(480), Q15(884), Q15(1070), Q15(851), Q15(461), Q15(285),
    Q15(497), Q15(718), Q15(483), Q15(143), Q15(19), Q15(1),
    15.0f,
    Q15(-6), Q15(-40), Q15(-172), Q15(-480), Q15(-884), Q15(-1069), Q15(-849), Q15(-428), Q15(-21),
    Q15(429), Q15(708), Q15(482), Q15(143), Q15(19), Q15(1),
    19.0f,
    Q15(0), Q15(0), Q15(0), Q15(2), Q15(34), Q15(212), Q15(580), Q15(705), Q15(418),
    Q15(245), Q15(369), Q15(626), Q15(842), Q15(879), Q15(713), Q15(448), Q15(218), Q15(83),
    Q15(24),
    19.0f,
    Q15(0), Q15(0), Q15(0), Q15(2), Q15(34), Q15(211), Q15(574), Q15(675), Q15(307),
    Q15(-77), Q15(-352), Q15(-625), Q15(-842), Q15(-879), Q15(-713), Q15(-448), Q15(-218), Q15(-83),
    Q15(-24),
    17.0f,
    Q15(0), Q15(0), Q15(3), Q15(43), Q15(244), Q15(613), Q15(686), Q15(389), Q15(276),
    Q15(489), Q15(814), Q15(996), Q15(884), Q15(568), Q15(265), Q15(90), Q15(22),
    17.0f,
    Q15(0), Q15(0), Q15(3), Q15(43), Q15(244), Q15(608), Q15(657), Q15(259), Q15(-139),
    Q15(-476), Q15(-814), Q15(-996), Q15(-884), Q15(-568), Q15(-265), Q15(-90), Q15(-22),
    // Output sums: left weights, then right weights.
    1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f,
    1.0f, 1.0f, -1.0f, 1.0f, -1.0f, 1.0f, -1.0f,
    // Output filters h0, h1, h2 for five inputs each: left, then right.
    // left
    0.5f, 1.0f, 0.5f,
    0.288147f, -0.01818848f, -0.06954956f,
    0.432251f, -0.06884766f, -0.01196289f,
    0.5073853f, -0.02722168f, -0.04742432f,
    0.4178467f, -0.04223633f, -0.04278564f,
    // right
    0.5f, 1.0f, 0.5f,
    0.288147f, -0.01818848f, -0.06954956f,
    0.432251f, -0.06884766f, -0.01196289f,
    0.5073853f, -0.02722168f, -0.04742432f,
    0.4178467f, -0.04223633f, -0.04278564f,
    // Feedback: matrix weights into line j, then the length of line j in samples.
    -0.1524658f, -0.1003418f, 0.2980957f, 0.9368896f, 552.0f,
    -0.9057617f, 0.2110596f, -0.3674316f, -0.007873535f, 802.0f,
    0.01629639f, 0.8822021f, 0.4677124f, -0.05169678f, 717.0f,
    -0.3950806f, -0.4087524f, 0.746582f, -0.3456421f, 950.0f,
};

// 32000 Hz: k = 3 taps per line, memory length 2408 floats.
constexpr float kSet32000[] = {
    // Line taps: first tap offset D - k, then the tap coefficients, for lines 1 to 4.
    399.0f, 0.6297607f, 0.1448364f, -0.01385498f,
    580.0f, 0.5564575f, 0.1279907f, -0.01226807f,
    518.0f, 0.5805664f, 0.1335449f, -0.01275635f,
    687.0f, 0.5172119f, 0.1189575f, -0.01135254f,
    // Input mix m1..m8.
    -0.5517032f, 0.6189465f, 0.5517032f, 0.6189465f, 0.5651518f, 0.3296462f, 0.5651518f, 0.3296462f,
    // High-pass b0, b1, b2, a1, a2, each half its applied value.
    0.4860229f, -0.9718933f, 0.4860229f, 0.971283f, -0.4726257f,
    // Centre gain.
    1.0f,
    // Direct/reverberant mix d1..d10.
    1.0f, 0.8406633f, 1.0f, 0.8406633f, 0.8200073f, 0.8200073f, 0.9099731f, 1.0f, 0.9099731f, 1.0f,
    // Mid/side gains e1..e12.
    0.5f, 0.5f, 0.5f, -0.5f, 0.5f, 0.5f, 0.5f, -0.5f, 0.5f, 0.5f, 0.5f, -0.5f,
    // Shaping filters (centre, then mid and side of each pair): tap count, then the taps at
    // delays 2, 4, ... samples.
    10.0f,
    Q15(1775), Q15(507), Q15(-272), Q15(-840), Q15(61), Q15(324), Q15(-37), Q15(-118), Q15(12),
    Q15(34),
    10.0f,
    Q15(18), Q15(173), Q15(736), Q15(1416), Q15(1227), Q15(522), Q15(534), Q15(990), Q15(450),
    Q15(43),
    10.0f,
    Q15(-18), Q15(-173), Q15(-736), Q15(-1416), Q15(-1225), Q15(-436), Q15(366), Q15(976), Q15(450),
    Q15(43),
    13.0f,
    Q15(0), Q15(0), Q15(5), Q15(133), Q15(746), Q15(898), Q15(370), Q15(516), Q15(1002),
    Q15(1227), Q15(928), Q15(433), Q15(125),
    13.0f,
    Q15(0), Q15(0), Q15(5), Q15(133), Q15(738), Q15(837), Q15(55), Q15(-494), Q15(-1002),
    Q15(-1227), Q15(-928), Q15(-433), Q15(-125),
    12.0f,
    Q15(0), Q15(2), Q15(78), Q15(597), Q15(970), Q15(445), Q15(534), Q15(1132), Q15(1360),
    Q15(887), Q15(314), Q15(60),
    12.0f,
    Q15(0), Q15(2), Q15(78), Q15(595), Q15(936), Q15(193), Q15(-490), Q15(-1132), Q15(-1360),
    Q15(-887), Q15(-314), Q15(-60),
    // Output sums: left weights, then right weights.
    1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f,
    1.0f, 1.0f, -1.0f, 1.0f, -1.0f, 1.0f, -1.0f,
    // Output filters h0, h1, h2 for five inputs each: left, then right.
    // left
    0.5f, 1.0f, 0.5f,
    0.319397f, -0.1012878f, 0.2170105f,
    0.4232788f, -0.09338379f, 0.222168f,
    0.5098267f, -0.05126953f, 0.04949951f,
    0.423645f, -0.06964111f, -0.005981445f,
    // right
    0.5f, 1.0f, 0.5f,
    0.319397f, -0.1012878f, 0.2170105f,
    0.4232788f, -0.09338379f, 0.222168f,
    0.5098267f, -0.05126953f, 0.04949951f,
    0.423645f, -0.06964111f, -0.005981445f,
    // Feedback: matrix weights into line j, then the length of line j in samples.
    -0.1524658f, -0.1003418f, 0.2980957f, 0.9368896f, 402.0f,
    -0.9057617f, 0.2110596f, -0.3674316f, -0.007873535f, 583.0f,
    0.01629639f, 0.8822021f, 0.4677124f, -0.05169678f, 521.0f,
    -0.3950806f, -0.4087524f, 0.746582f, -0.3456421f, 690.0f,
};

// 96000 Hz: k = 4 taps per line, memory length 7155 floats.
constexpr float kSet96000[] = {
    // Line taps: first tap offset D - k, then the tap coefficients, for lines 1 to 4.
    1199.0f, 0.2271118f, 0.2044067f, 0.2271118f, 0.1021729f,
    1743.0f, 0.2006226f, 0.180542f, 0.2006226f, 0.090271f,
    1557.0f, 0.2092896f, 0.1883545f, 0.2092896f, 0.09417725f,
    2064.0f, 0.1864624f, 0.1678467f, 0.1864624f, 0.08392334f,
    // Input mix m1..m8.
    -0.5517032f, 0.6189465f, 0.5517032f, 0.6189465f, 0.5651518f, 0.3296462f, 0.5651518f, 0.3296462f,
    // High-pass b0, b1, b2, a1, a2, each half its applied value.
    0.4953156f, -0.9906158f, 0.4953156f, 0.9905396f, -0.4906921f,
    // Centre gain.
    1.0f,
    // Direct/reverberant mix d1..d10.
    1.0f, 0.8406633f, 1.0f, 0.8406633f, 0.8200073f, 0.8200073f, 0.9099731f, 1.0f, 0.9099731f, 1.0f,
    // Mid/side gains e1..e12.
    0.5f, 0.5f, 0.5f, -0.5f, 0.5f, 0.5f, 0.5f, -0.5f, 0.5f, 0.5f, 0.5f, -0.5f,
    // Shaping filters (centre, then mid and side of each pair): tap count, then the taps at
    // delays 2, 4, ... samples.
    34.0f,
    Q15(1227), Q15(2454), Q15(592), Q15(-1271), Q15(-551), Q15(169), Q15(-180), Q15(-528), Q15(-91),
    Q15(347), Q15(34), Q15(-280), Q15(-43), Q15(193), Q15(20), Q15(-152), Q15(-22), Q15(108),
    Q15(14), Q15(-80), Q15(-12), Q15(56), Q15(8), Q15(-39), Q15(-7), Q15(26), Q15(4),
    Q15(-18), Q15(-3), Q15(11), Q15(2), Q15(-7), Q15(-3), Q15(0),
    34.0f,
    Q15(1), Q15(2), Q15(6), Q15(14), Q15(30), Q15(58), Q15(102), Q15(165), Q15(245),
    Q15(333), Q15(415), Q15(472), Q15(491), Q15(469), Q15(409), Q15(328), Q15(243), Q15(174),
    Q15(135), Q15(136), Q15(178), Q15(245), Q15(306), Q15(330), Q15(301), Q15(232), Q15(150),
    Q15(82), Q15(37), Q15(14), Q15(5), Q15(1), Q15(0), Q15(0),
    34.0f,
    Q15(-1), Q15(-2), Q15(-6), Q15(-14), Q15(-30), Q15(-58), Q15(-102), Q15(-165), Q15(-245),
    Q15(-333), Q15(-415), Q15(-472), Q15(-491), Q15(-468), Q15(-408), Q15(-325), Q15(-234), Q15(-145),
    Q15(-60), Q15(27), Q15(122), Q15(218), Q15(295), Q15(325), Q15(300), Q15(231), Q15(150),
    Q15(82), Q15(37), Q15(14), Q15(5), Q15(1), Q15(0), Q15(0),
    42.0f,
    Q15(0), Q15(0), Q15(0), Q15(0), Q15(0), Q15(0), Q15(0), Q15(0), Q15(2),
    Q15(6), Q15(18), Q15(44), Q15(94), Q15(166), Q15(249), Q15(313), Q15(332), Q15(299),
    Q15(234), Q15(167), Q15(123), Q15(113), Q15(132), Q15(172), Q15(224), Q15(281), Q15(334),
    Q15(377), Q15(403), Q15(409), Q15(393), Q15(358), Q15(309), Q15(253), Q15(196), Q15(144),
    Q15(101), Q15(66), Q15(42), Q15(25), Q15(14), Q15(7),
    42.0f,
    Q15(0), Q15(0), Q15(0), Q15(0), Q15(0), Q15(0), Q15(0), Q15(0), Q15(2),
    Q15(6), Q15(18), Q15(44), Q15(93), Q15(165), Q15(246), Q15(307), Q15(321), Q15(279),
    Q15(197), Q15(103), Q15(18), Q15(-50), Q15(-109), Q15(-165), Q15(-222), Q15(-280), Q15(-334),
    Q15(-377), Q15(-403), Q15(-409), Q15(-393), Q15(-358), Q15(-309), Q15(-253), Q15(-196), Q15(-144),
    Q15(-101), Q15(-66), Q15(-42), Q15(-25), Q15(-14), Q15(-7),
    38.0f,
    Q15(0), Q15(0), Q15(0), Q15(0), Q15(0), Q15(1), Q15(3), Q15(9), Q15(26),
    Q15(61), Q15(120), Q15(199), Q15(277), Q15(326), Q15(323), Q15(274), Q15(205), Q15(148),
    Q15(124), Q15(136), Q15(178), Q15(240), Q15(311), Q15(377), Q15(429), Q15(456), Q15(453),
    Q15(421), Q15(365), Q15(296), Q15(224), Q15(158), Q15(105), Q15(65), Q15(37), Q15(20),
    Q15(10), Q15(5),
    38.0f,
    Q15(0), Q15(0), Q15(0), Q15(0), Q15(0), Q15(1), Q15(3), Q15(9), Q15(26),
    Q15(61), Q15(120), Q15(198), Q15(275), Q15(321), Q15(312), Q15(251), Q15(159), Q15(64),
    Q15(-19), Q15(-93), Q15(-163), Q15(-236), Q15(-309), Q15(-377), Q15(-429), Q15(-456), Q15(-453),
    Q15(-421), Q15(-365), Q15(-296), Q15(-224), Q15(-158), Q15(-105), Q15(-65), Q15(-37), Q15(-20),
    Q15(-10), Q15(-5),
    // Output sums: left weights, then right weights.
    1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f,
    1.0f, 1.0f, -1.0f, 1.0f, -1.0f, 1.0f, -1.0f,
    // Output filters h0, h1, h2 for five inputs each: left, then right.
    // left
    0.5f, 1.0f, 0.5f,
    0.2055359f, 0.0769043f, 0.05065918f,
    0.2958374f, 0.1056519f, 0.06378174f,
    0.3360596f, 0.1365356f, 0.08551025f,
    0.3649902f, 0.02947998f, 0.02124023f,
    // right
    0.5f, 1.0f, 0.5f,
    0.2055359f, 0.0769043f, 0.05065918f,
    0.2958374f, 0.1056519f, 0.06378174f,
    0.3360596f, 0.1365356f, 0.08551025f,
    0.3649902f, 0.02947998f, 0.02124023f,
    // Feedback: matrix weights into line j, then the length of line j in samples.
    -0.1524658f, -0.1003418f, 0.2980957f, 0.9368896f, 1203.0f,
    -0.9057617f, 0.2110596f, -0.3674316f, -0.007873535f, 1747.0f,
    0.01629639f, 0.8822021f, 0.4677124f, -0.05169678f, 1561.0f,
    -0.3950806f, -0.4087524f, 0.746582f, -0.3456421f, 2068.0f,
};

// 88200 Hz: k = 4 taps per line, memory length 6595 floats.
constexpr float kSet88200[] = {
    // Line taps: first tap offset D - k, then the tap coefficients, for lines 1 to 4.
    1102.0f, 0.2377319f, 0.2258301f, 0.2377319f, 0.05944824f,
    1602.0f, 0.2099609f, 0.1994629f, 0.2099609f, 0.05249023f,
    1430.0f, 0.2191162f, 0.2081909f, 0.2191162f, 0.05480957f,
    1897.0f, 0.1951904f, 0.1854248f, 0.1951904f, 0.04876709f,
    // Input mix m1..m8.
    -0.5517032f, 0.6189465f, 0.5517032f, 0.6189465f, 0.5651518f, 0.3296462f, 0.5651518f, 0.3296462f,
    // High-pass b0, b1, b2, a1, a2, each half its applied value.
    0.4949036f, -0.9897919f, 0.4949036f, 0.9897156f, -0.4898987f,
    // Centre gain.
    1.0f,
    // Direct/reverberant mix d1..d10.
    1.0f, 0.8406633f, 1.0f, 0.8406633f, 0.8200073f, 0.8200073f, 0.9099731f, 1.0f, 0.9099731f, 1.0f,
    // Mid/side gains e1..e12.
    0.5f, 0.5f, 0.5f, -0.5f, 0.5f, 0.5f, 0.5f, -0.5f, 0.5f, 0.5f, 0.5f, -0.5f,
    // Shaping filters (centre, then mid and side of each pair): tap count, then the taps at
    // delays 2, 4, ... samples.
    32.0f,
    Q15(1453), Q15(2312), Q15(106), Q15(-1106), Q15(-253), Q15(-17), Q15(-431), Q15(-238), Q15(281),
    Q15(76), Q15(-296), Q15(-31), Q15(182), Q15(-23), Q15(-120), Q15(35), Q15(66), Q15(-46),
    Q15(-37), Q15(44), Q15(16), Q15(-40), Q15(-6), Q15(26), Q15(-1), Q15(-15), Q15(3),
    Q15(8), Q15(-3), Q15(-5), Q15(-1), Q15(0),
    32.0f,
    Q15(1), Q15(3), Q15(8), Q15(20), Q15(44), Q15(86), Q15(151), Q15(240), Q15(343),
    Q15(442), Q15(512), Q15(535), Q15(503), Q15(426), Q15(326), Q15(230), Q15(163), Q15(142),
    Q15(175), Q15(249), Q15(325), Q15(359), Q15(326), Q15(241), Q15(146), Q15(72), Q15(29),
    Q15(9), Q15(2), Q15(1), Q15(0), Q15(0),
    32.0f,
    Q15(-1), Q15(-3), Q15(-8), Q15(-20), Q15(-44), Q15(-86), Q15(-151), Q15(-240), Q15(-343),
    Q15(-442), Q15(-512), Q15(-535), Q15(-502), Q15(-425), Q15(-322), Q15(-214), Q15(-111), Q15(-10),
    Q15(99), Q15(214), Q15(311), Q15(354), Q15(324), Q15(241), Q15(146), Q15(72), Q15(29),
    Q15(9), Q15(2), Q15(1), Q15(0), Q15(0),
    40.0f,
    Q15(0), Q15(0), Q15(0), Q15(0), Q15(0), Q15(0), Q15(0), Q15(1), Q15(5),
    Q15(17), Q15(47), Q15(106), Q15(194), Q15(290), Q15(353), Q15(353), Q15(292), Q15(209),
    Q15(145), Q15(122), Q15(139), Q15(184), Q15(246), Q15(313), Q15(375), Q15(421), Q15(444),
    Q15(440), Q15(409), Q15(356), Q15(292), Q15(224), Q15(161), Q15(109), Q15(69), Q15(41),
    Q15(23), Q15(12), Q15(6), Q15(3),
    40.0f,
    Q15(0), Q15(0), Q15(0), Q15(0), Q15(0), Q15(0), Q15(0), Q15(1), Q15(5),
    Q15(17), Q15(47), Q15(106), Q15(193), Q15(287), Q15(346), Q15(338), Q15(262), Q15(153),
    Q15(48), Q15(-39), Q15(-110), Q15(-176), Q15(-244), Q15(-313), Q15(-375), Q15(-421), Q15(-444),
    Q15(-440), Q15(-409), Q15(-356), Q15(-292), Q15(-224), Q15(-161), Q15(-109), Q15(-69), Q15(-41),
    Q15(-23), Q15(-12), Q15(-6), Q15(-3),
    36.0f,
    Q15(0), Q15(0), Q15(0), Q15(0), Q15(0), Q15(2), Q15(7), Q15(21), Q15(57),
    Q15(122), Q15(214), Q15(306), Q15(358), Q15(343), Q15(274), Q15(194), Q15(143), Q15(138),
    Q15(176), Q15(244), Q15(327), Q15(407), Q15(469), Q15(498), Q15(488), Q15(442), Q15(369),
    Q15(284), Q15(202), Q15(133), Q15(80), Q15(45), Q15(23), Q15(11), Q15(5), Q15(2),
    36.0f,
    Q15(0), Q15(0), Q15(0), Q15(0), Q15(0), Q15(2), Q15(7), Q15(21), Q15(57),
    Q15(122), Q15(213), Q15(304), Q15(352), Q15(328), Q15(242), Q15(130), Q15(22), Q15(-69),
    Q15(-153), Q15(-238), Q15(-326), Q15(-407), Q15(-469), Q15(-498), Q15(-488), Q15(-442), Q15(-369),
    Q15(-284), Q15(-202), Q15(-133), Q15(-80), Q15(-45), Q15(-23), Q15(-11), Q15(-5), Q15(-2),
    // Output sums: left weights, then right weights.
    1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f,
    1.0f, 1.0f, -1.0f, 1.0f, -1.0f, 1.0f, -1.0f,
    // Output filters h0, h1, h2 for five inputs each: left, then right.
    // left
    0.5f, 1.0f, 0.5f,
    0.2098694f, 0.08111572f, 0.04541016f,
    0.3018799f, 0.1110229f, 0.05450439f,
    0.343689f, 0.1444702f, 0.0814209f,
    0.3674316f, 0.03088379f, 0.02062988f,
    // right
    0.5f, 1.0f, 0.5f,
    0.2098694f, 0.08111572f, 0.04541016f,
    0.3018799f, 0.1110229f, 0.05450439f,
    0.343689f, 0.1444702f, 0.0814209f,
    0.3674316f, 0.03088379f, 0.02062988f,
    // Feedback: matrix weights into line j, then the length of line j in samples.
    -0.1524658f, -0.1003418f, 0.2980957f, 0.9368896f, 1106.0f,
    -0.9057617f, 0.2110596f, -0.3674316f, -0.007873535f, 1606.0f,
    0.01629639f, 0.8822021f, 0.4677124f, -0.05169678f, 1434.0f,
    -0.3950806f, -0.4087524f, 0.746582f, -0.3456421f, 1901.0f,
};

constexpr LONG Truncated(float value) { return static_cast<LONG>(value); }

// Walks a set and answers the ring length its line lengths and filter sizes need, or -1 when its
// fields do not fit together (a line length that disagrees with its first tap, a count below 1, or
// a set longer or shorter than its fields).
template <size_t N>
constexpr LONG ImpliedMemoryLength(const float (&set)[N], LONG taps) {
    size_t at = 0;
    LONG firstTap[4] = {};
    for (LONG j = 0; j < 4; ++j) {
        firstTap[j] = Truncated(set[at]);
        at += 1 + static_cast<size_t>(taps);
    }
    at += 8 + 5 + 1 + 10 + 12;
    LONG filterSlots = 0;
    for (LONG i = 0; i < 7; ++i) {
        const LONG n = Truncated(set[at]);
        if (n < 1) return -1;
        filterSlots += 2 * n + 1;
        at += 1 + static_cast<size_t>(n);
    }
    at += 14 + 30;
    LONG lineSlots = 0;
    for (LONG j = 0; j < 4; ++j) {
        at += 4;
        const LONG length = Truncated(set[at]);
        if (firstTap[j] < 0 || length != firstTap[j] + taps) return -1;
        lineSlots += length;
        at += 1;
    }
    if (at != N) return -1;
    return lineSlots + 4 * 6 + filterSlots + 21;
}

static_assert(ImpliedMemoryLength(kSet48000, 2) == 3588);
static_assert(ImpliedMemoryLength(kSet44100, 2) == 3307);
static_assert(ImpliedMemoryLength(kSet32000, 3) == 2408);
static_assert(ImpliedMemoryLength(kSet96000, 4) == 7155);
static_assert(ImpliedMemoryLength(kSet88200, 4) == 6595);

template <size_t N>
constexpr DspDelayRate Row(LONG memoryLength, LONG taps, const float (&set)[N]) {
    return DspDelayRate{memoryLength, taps, set, static_cast<LONG>(N)};
}

constexpr DspDelayRate kRate48000 = Row(3588, 2, kSet48000);
constexpr DspDelayRate kRate44100 = Row(3307, 2, kSet44100);
constexpr DspDelayRate kRate32000 = Row(2408, 3, kSet32000);
constexpr DspDelayRate kRate96000 = Row(7155, 4, kSet96000);
constexpr DspDelayRate kRate88200 = Row(6595, 4, kSet88200);

}  // namespace

LONG DspDelayRateIndex(LONG rateHz) {
    switch (rateHz) {
        case 48000: return 0;
        case 44100: return 1;
        case 32000: return 2;
        case 96000: return 16;
        case 88200: return 17;
        default: return 1;
    }
}

const DspDelayRate* DspDelayRateSet(LONG index) {
    switch (index) {
        case 0: return &kRate48000;
        case 1: return &kRate44100;
        case 2: return &kRate32000;
        case 16: return &kRate96000;
        case 17: return &kRate88200;
        default: return nullptr;
    }
}
