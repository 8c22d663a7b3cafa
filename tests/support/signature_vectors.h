// Keys and signatures made with openssl for the signature tests of both backends.
#pragma once

namespace testing_support {

// `openssl pkey -pubout -outform DER | base64` of two P-256 keys and one P-384 key.
inline constexpr char kKeyA[] =
    "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEhPdvKZ8ZsQK5wIiR7qEeqesJ5aLqMXx5UoiMuW/FgGtmetl2VCvnb2+Z9psM3AJi4gOqMSRPvOPy9F+3U6fs2g==";
inline constexpr char kKeyB[] =
    "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEBKibnAtd5lNfpeEUpdRXSRNmmwZJ5uRg0rX2xsJyzNwGh3rR/sr3oZ6w+i6unixvugQNjuMLD+qlPrJ5fjUcHA==";
inline constexpr char kKeyP384[] =
    "MHYwEAYHKoZIzj0CAQYFK4EEACIDYgAECvYGe5M0nECeFZO8VBfbzvVnin45ZINfGNUudyapZBSxM9glaK3tvS3bxHzIOxTReXXCJiXXHPiWos25m2Y6OK2EBa7crWdVSIpQqZ6JOxbKMPtOG7UPsIICNpAhqGYU";

inline constexpr char kDocument[] = "{\"releases\": [{\"version\": \"6.1.17\", \"download_url\": \"https://x/6.1.17.zip\"}]}\n";

// `openssl dgst -sha256 -sign KEY | base64` of kDocument by key A: r and s of 32 bytes; both with DER's leading zero (33 bytes);
// r of 31 bytes. Then one by key B and one by the P-384 key.
inline constexpr char kSignatureA[] =
    "MEQCIB0wGa3/RiIlUx7N/mUjrHjc19DqF8wgjecqWoK/Dx3mAiB6NVTSg4E70+Vs2i32yNIkmUaRLv4KgvnTPWXiLu2bXA==";
inline constexpr char kSignatureALongIntegers[] =
    "MEYCIQDrMy0NwvJgiSaVJB+2zP7t6C15dHZww+7DNVUy2yO9fgIhANwwImCA3CQadnKKKjIbpxGk//GDfHNa0eZv9K2MT03q";
inline constexpr char kSignatureAShortR[] =
    "MEMCHxUqry9I93pzubI2UO/kgdO2T9M4td2htFivewczj04CICDPFyGoqoMw5PnBn5W6sZav0yCmRZmdEVuem17jHdzT";
inline constexpr char kSignatureB[] =
    "MEQCIBwy9q4eN3uzCjPjDzjk3qabaAwP49WIoLDkuQw3Ucb1AiACXsPtruHWkccSFQJWhAYimUCopONW87ygtu1dElEKEg==";
inline constexpr char kSignatureP384[] =
    "MGQCMGDmszmmoXPhHPcC3Ng4xzv9Esx/riLq/XyzLPHts/rrnsiCr5o1SjQPvDXyAyGsgQIwFAPSKFdCJnOrQsw5l6GbNY1fIxwvUVdVC47qIfuGOARXYWfRsNb3C3jWnmq+Qv0v";

}  // namespace testing_support
