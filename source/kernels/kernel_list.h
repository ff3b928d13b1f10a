// The 35 members of the factor-test kernel family, one row each:
// X(width in words, band, length of the plain name, plain name).
// Everything that must exist once per member is generated from this list.
#pragma once

#define QUILBREX_KERNEL_FAMILY(X) \
    X(3, 1, 20, quilbrex96bit_n32_63) \
    X(4, 1, 21, quilbrex128bit_n32_63) \
    X(4, 2, 21, quilbrex128bit_n64_95) \
    X(5, 2, 21, quilbrex160bit_n64_95) \
    X(5, 3, 22, quilbrex160bit_n96_127) \
    X(6, 3, 22, quilbrex192bit_n96_127) \
    X(6, 4, 23, quilbrex192bit_n128_159) \
    X(7, 4, 23, quilbrex224bit_n128_159) \
    X(7, 5, 23, quilbrex224bit_n160_191) \
    X(8, 5, 23, quilbrex256bit_n160_191) \
    X(8, 6, 23, quilbrex256bit_n192_223) \
    X(9, 6, 23, quilbrex288bit_n192_223) \
    X(9, 7, 23, quilbrex288bit_n224_255) \
    X(10, 7, 23, quilbrex320bit_n224_255) \
    X(10, 8, 23, quilbrex320bit_n256_287) \
    X(11, 8, 23, quilbrex352bit_n256_287) \
    X(11, 9, 23, quilbrex352bit_n288_319) \
    X(12, 9, 23, quilbrex384bit_n288_319) \
    X(12, 10, 23, quilbrex384bit_n320_351) \
    X(13, 10, 23, quilbrex416bit_n320_351) \
    X(13, 11, 23, quilbrex416bit_n352_383) \
    X(14, 11, 23, quilbrex448bit_n352_383) \
    X(14, 12, 23, quilbrex448bit_n384_415) \
    X(15, 12, 23, quilbrex480bit_n384_415) \
    X(15, 13, 23, quilbrex480bit_n416_447) \
    X(16, 13, 23, quilbrex512bit_n416_447) \
    X(16, 14, 23, quilbrex512bit_n448_479) \
    X(17, 14, 23, quilbrex544bit_n448_479) \
    X(17, 15, 23, quilbrex544bit_n480_511) \
    X(18, 15, 23, quilbrex576bit_n480_511) \
    X(18, 16, 23, quilbrex576bit_n512_543) \
    X(19, 16, 23, quilbrex608bit_n512_543) \
    X(19, 17, 23, quilbrex608bit_n544_575) \
    X(20, 17, 23, quilbrex640bit_n544_575) \
    X(20, 18, 23, quilbrex640bit_n576_607)

// The mangled form of every member's parameters (unsigned int*, unsigned
// long long*, unsigned int, unsigned int*, unsigned int): factor report
// buffer, candidate table, n, proof table, proof bits t.
#define QUILBREX_KERNEL_PARAMETERS_MANGLED "PjPyjS_j"
