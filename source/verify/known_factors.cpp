// The table of known factors. Besides published factors it holds Fermat
// numbers themselves (every prime factor of one divides it) and products of
// factors of two Fermat numbers, which reach members no small k can.
#include "verify/known_factors.h"

const KnownFactor knownFactors[] = {
    {4119, 54, "F52"},
    {95, 61, "F58"},
    {190, 60, "F58"},  // the same p
    {5463561471303ull, 33, "F31"},
    {2139543641769ull, 50, "F48"},
    {1275438465, 39, "F37"},
    {1ull << 32, 32, "F6"},
    {1ull << 1, 63, "F6"},
    {640126220912178ull, 32, "F5*F30"},  // F5 * (149041*2^32+1)
    {1421, 93, "F91"},
    {76432329, 74, "F72"},
    {3447431, 77, "F75"},
    {1ull << 63, 65, "F7"},
    {1ull << 33, 95, "F7"},
    {5, 127, "F125"},
    {1ull << 32, 96, "F7"},
    {1575, 157, "F150"},
    {3150, 156, "F150"},  // the same p
    {8152599, 145, "F142"},
    {16305198, 144, "F142"},  // the same p
    {232905, 207, "F205"},
    {32111, 217, "F215"},
    {1ull << 63, 193, "F8"},
    {1ull << 33, 223, "F8"},
    {403, 252, "F250"},
    {2, 255, "F8"},
    {22347, 279, "F275"},
    {27609, 341, "F334"},
    {120845, 401, "F398"},
    {5769285, 434, "F431"},
    {1ull << 63, 449, "F9"},
    {1ull << 33, 479, "F9"},
    {1ull << 32, 480, "F9"},
    {2, 511, "F9"},
};

const size_t KNOWN_FACTOR_COUNT = sizeof knownFactors / sizeof knownFactors[0];
