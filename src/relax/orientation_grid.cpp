#include "relax/orientation_grid.h"

#include <algorithm>

#include "relax/single_precision.h"

namespace mosslib::relax {

namespace {

struct Direction {
    float theta;
    float phi;
};

// Base directions (theta, phi) in radians for levels 1 to 5: 4, 8, 16, 32 and 64
// points strictly inside the wedge between [001], [101] and [111].
constexpr Direction kBaseDirections[124] = {
    // level 1
    {0.509315f, 0.507923f}, {0.274892f, 0.374156f}, {0.762892f, 0.614590f}, {0.666164f, 0.192914f},
    // level 2
    {0.450144f, 0.597307f}, {0.365782f, 0.239693f}, {0.627249f, 0.627851f}, {0.702693f, 0.140071f},
    {0.542175f, 0.215851f}, {0.195183f, 0.412441f}, {0.736320f, 0.413309f}, {0.816523f, 0.672486f},
    // level 3
    {0.446735f, 0.652091f}, {0.398824f, 0.376796f}, {0.665923f, 0.501615f}, {0.728018f, 0.103830f},
    {0.532396f, 0.411417f}, {0.286981f, 0.596930f}, {0.756733f, 0.331223f}, {0.796385f, 0.532171f},
    {0.581307f, 0.672229f}, {0.288519f, 0.184428f}, {0.720700f, 0.694377f}, {0.590867f, 0.103986f},
    {0.459598f, 0.132731f}, {0.140113f, 0.392252f}, {0.641180f, 0.286317f}, {0.856373f, 0.707621f},
    // level 4
    {0.640712f, 0.576460f}, {0.431239f, 0.290093f}, {0.683197f, 0.334381f}, {0.642838f, 0.066478f},
    {0.606811f, 0.417374f}, {0.543490f, 0.535276f}, {0.491219f, 0.694364f}, {0.742066f, 0.605102f},
    {0.840108f, 0.619874f}, {0.188232f, 0.219240f}, {0.785563f, 0.725961f}, {0.590679f, 0.242527f},
    {0.365401f, 0.118222f}, {0.348443f, 0.401809f}, {0.677673f, 0.189259f}, {0.775541f, 0.367781f},
    {0.586977f, 0.707040f}, {0.277271f, 0.188475f}, {0.685056f, 0.718141f}, {0.550029f, 0.091539f},
    {0.464147f, 0.100526f}, {0.098049f, 0.407767f}, {0.517618f, 0.331321f}, {0.884704f, 0.732664f},
    {0.758393f, 0.225491f}, {0.215703f, 0.592342f}, {0.303006f, 0.631006f}, {0.707651f, 0.473551f},
    {0.803875f, 0.498112f}, {0.742957f, 0.069787f}, {0.394463f, 0.670547f}, {0.450896f, 0.497372f},
    // level 5
    {0.637963f, 0.535367f}, {0.431326f, 0.254237f}, {0.664350f, 0.348974f}, {0.634280f, 0.055072f},
    {0.615960f, 0.419678f}, {0.528874f, 0.606110f}, {0.490535f, 0.719222f}, {0.706521f, 0.558080f},
    {0.803603f, 0.662663f}, {0.193043f, 0.193322f}, {0.766088f, 0.741844f}, {0.553131f, 0.297114f},
    {0.386549f, 0.082859f}, {0.304152f, 0.316532f}, {0.614540f, 0.160122f}, {0.797213f, 0.413744f},
    {0.627287f, 0.733584f}, {0.366575f, 0.243682f}, {0.665044f, 0.641401f}, {0.512252f, 0.065190f},
    {0.318386f, 0.098159f}, {0.069097f, 0.410780f}, {0.497124f, 0.322759f}, {0.905304f, 0.748650f},
    {0.766590f, 0.226868f}, {0.217178f, 0.637597f}, {0.323146f, 0.512690f}, {0.729649f, 0.382396f},
    {0.775186f, 0.574615f}, {0.755002f, 0.046995f}, {0.351529f, 0.698726f}, {0.462709f, 0.576496f},
    {0.596426f, 0.625979f}, {0.444539f, 0.418533f}, {0.818642f, 0.502999f}, {0.692286f, 0.157254f},
    {0.554363f, 0.370811f}, {0.379943f, 0.406476f}, {0.715461f, 0.276396f}, {0.843805f, 0.588886f},
    {0.571344f, 0.505926f}, {0.245698f, 0.407270f}, {0.734348f, 0.653494f}, {0.756043f, 0.139104f},
    {0.491043f, 0.191583f}, {0.130801f, 0.229097f}, {0.656385f, 0.239615f}, {0.872456f, 0.671094f},
    {0.558532f, 0.727778f}, {0.253480f, 0.126653f}, {0.696516f, 0.738186f}, {0.571875f, 0.064960f},
    {0.447764f, 0.077807f}, {0.155110f, 0.593636f}, {0.599262f, 0.291881f}, {0.835716f, 0.744755f},
    {0.780119f, 0.321556f}, {0.507469f, 0.468972f}, {0.281912f, 0.672617f}, {0.682961f, 0.456387f},
    {0.750438f, 0.481291f}, {0.694085f, 0.054205f}, {0.423277f, 0.712759f}, {0.396662f, 0.565597f},
};

// Offset of each level's table in kBaseDirections.
constexpr int kLevelOffset[kMaxGridLevel + 1] = {0, 0, 4, 12, 28, 60};

// The 24 proper rotations of the cube, row by row.
using Matrix3 = float[3][3];
constexpr signed char kCubeRotations[24][3][3] = {
    {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}},    {{0, -1, 0}, {1, 0, 0}, {0, 0, 1}},
    {{-1, 0, 0}, {0, -1, 0}, {0, 0, 1}},  {{0, 1, 0}, {-1, 0, 0}, {0, 0, 1}},
    {{1, 0, 0}, {0, 0, -1}, {0, 1, 0}},   {{1, 0, 0}, {0, -1, 0}, {0, 0, -1}},
    {{1, 0, 0}, {0, 0, 1}, {0, -1, 0}},   {{0, 0, 1}, {0, 1, 0}, {-1, 0, 0}},
    {{-1, 0, 0}, {0, 1, 0}, {0, 0, -1}},  {{0, 0, -1}, {0, 1, 0}, {1, 0, 0}},
    {{0, 1, 0}, {1, 0, 0}, {0, 0, -1}},   {{0, -1, 0}, {-1, 0, 0}, {0, 0, -1}},
    {{0, 0, 1}, {0, -1, 0}, {1, 0, 0}},   {{0, 0, -1}, {0, -1, 0}, {-1, 0, 0}},
    {{-1, 0, 0}, {0, 0, 1}, {0, 1, 0}},   {{-1, 0, 0}, {0, 0, -1}, {0, -1, 0}},
    {{0, 0, 1}, {1, 0, 0}, {0, 1, 0}},    {{0, 1, 0}, {0, 0, 1}, {1, 0, 0}},
    {{0, -1, 0}, {0, 0, 1}, {-1, 0, 0}},  {{0, 0, -1}, {-1, 0, 0}, {0, 1, 0}},
    {{0, -1, 0}, {0, 0, -1}, {1, 0, 0}},  {{0, 0, 1}, {-1, 0, 0}, {0, -1, 0}},
    {{0, 0, -1}, {1, 0, 0}, {0, -1, 0}},  {{0, 1, 0}, {0, 0, -1}, {-1, 0, 0}},
};

struct RotationList {
    int count;
    signed char number[24];  // rotation numbers 1..24, in order of use
};

constexpr RotationList kIdentityOnly = {1, {1}};
constexpr RotationList kCubicSubsets[6] = {
    kIdentityOnly,
    kIdentityOnly,
    {3, {1, 5, 8}},
    {6, {1, 2, 5, 8, 17, 18}},
    {12, {1, 2, 3, 4, 5, 7, 8, 13, 17, 18, 19, 22}},
    {24, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24}},
};
constexpr RotationList kTrigonalSubsets[5] = {
    kIdentityOnly,
    kIdentityOnly,
    {4, {1, 2, 3, 4}},
    {12, {1, 2, 3, 4, 5, 7, 8, 10, 13, 14, 15, 16}},
    {24, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24}},
};

const RotationList &rotation_subset(int grid_sym, bool &trigonal) {
    const int tens = grid_sym / 10;
    const int units = grid_sym - 10 * tens;
    trigonal = (tens == 2);
    if (trigonal) return (units >= 2 && units <= 4) ? kTrigonalSubsets[units] : kIdentityOnly;
    return (units >= 2 && units <= 5) ? kCubicSubsets[units] : kIdentityOnly;
}

// Columns of T are the trigonal x, y, z axes in cube coordinates.
void trigonal_setting(Matrix3 &t) {
    const float a = 1.0f / std::sqrt(2.0f);
    const float b = 1.0f / std::sqrt(3.0f);
    t[0][0] = a * b;
    t[1][0] = a * b;
    t[2][0] = -b / a;
    t[0][1] = -a;
    t[1][1] = a;
    t[2][1] = 0.0f;
    t[0][2] = b;
    t[1][2] = b;
    t[2][2] = b;
}

// T^T * O * T, products summed in index order.
void to_trigonal(const Matrix3 &t, Matrix3 &o) {
    Matrix3 to;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            float s = 0.0f;
            for (int k = 0; k < 3; ++k) s = s + t[k][i] * o[k][j];
            to[i][j] = s;
        }
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            float s = 0.0f;
            for (int k = 0; k < 3; ++k) s = s + to[i][k] * t[k][j];
            o[i][j] = s;
        }
}

// Polar angles of w; an azimuth on the negative x side gains pi. The square-root
// argument is clamped at zero against |w3| a unit above 1 in the last place.
void store_direction(const float w[3], float pi, ParlOrient &orient, int slot) {
    const float rho = static_cast<float>(dsqrt(std::max(0.0f, 1.0f - w[2] * w[2])));
    float theta = static_cast<float>(datan(rho / w[2]));
    if (w[2] < 0.0f) theta = theta + pi;
    float phi = static_cast<float>(datan(w[1] / w[0]));
    if (w[0] < 0.0f) phi = phi + pi;
    orient.cos_theta[slot] = static_cast<float>(dcos(theta));
    orient.sin_theta[slot] = static_cast<float>(dsin(theta));
    orient.cos_phi[slot] = static_cast<float>(dcos(phi));
    orient.sin_phi[slot] = static_cast<float>(dsin(phi));
}

}  // namespace

int build_orientation_grid(int &grid_level, int grid_sym, ParlOrient &orient) {
    const float pi = static_cast<float>(4.0 * datan(1.0));
    if (grid_level > kMaxGridLevel) grid_level = kMaxGridLevel;
    const int level = std::max(grid_level, 1);
    const int n_base = numeric::pow_ii(2, level + 1);
    const Direction *base = kBaseDirections + kLevelOffset[level];

    bool trigonal = false;
    const RotationList &list = rotation_subset(grid_sym, trigonal);
    Matrix3 rot[24];
    Matrix3 t;
    if (trigonal) trigonal_setting(t);
    for (int r = 0; r < list.count; ++r) {
        const auto &cube = kCubeRotations[list.number[r] - 1];
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) rot[r][i][j] = cube[i][j];
        if (trigonal) to_trigonal(t, rot[r]);
    }

    int count = 0;
    for (int k = 0; k < n_base; ++k) {
        const float th = base[k].theta;
        const float ph = base[k].phi;
        float v[3] = {static_cast<float>(dsin(th) * dcos(ph)), static_cast<float>(dsin(th) * dsin(ph)),
                      static_cast<float>(dcos(th))};
        if (trigonal) {
            float tv[3];
            for (int i = 0; i < 3; ++i) {
                float s = 0.0f;
                for (int j = 0; j < 3; ++j) s = s + t[j][i] * v[j];
                tv[i] = s;
            }
            for (int i = 0; i < 3; ++i) v[i] = tv[i];
        }
        for (int r = 0; r < list.count; ++r) {
            float w[3];
            for (int i = 0; i < 3; ++i) {
                float s = 0.0f;
                for (int j = 0; j < 3; ++j) s = s + rot[r][i][j] * v[j];
                w[i] = s;
            }
            store_direction(w, pi, orient, count);
            ++count;
        }
    }
    orient.orient_weight = 1.0f / static_cast<float>(count);
    return count;
}

}  // namespace mosslib::relax
