"""Builds the Python package vesk_numerics: the library's sources compiled into one extension
module by the project's own CMake build (scikit-build)."""
from skbuild import setup

setup(
    name="vesk_numerics",
    version="1.1.0",
    description="Gaussian peak fitting, Savitzky-Golay weights and 3-D rotations",
    license="Proprietary",
    python_requires=">=3.9",
    install_requires=["numpy"],
    extras_require={"dask": ["dask[array]", "distributed"]},
    packages=["vesk_numerics"],
    package_dir={"": "python"},
    package_data={"vesk_numerics": ["py.typed", "*.pyi"]},
    cmake_args=["-DVESK_NUMERICS_BUILD_TESTS=OFF", "-DVESK_NUMERICS_BUILD_TOOLS=OFF",
                "-DVESK_NUMERICS_BUILD_PYTHON=ON", "-DCMAKE_BUILD_TYPE=Release"],
    cmake_install_dir=".",
)
