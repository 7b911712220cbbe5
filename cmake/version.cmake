# The project's one version: the bootstrap's build, the packer's --version
# and the installed package's version file all take it from here.
set(ONEFILE_VERSION 0.3.0)
