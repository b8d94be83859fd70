# The tabulon command in a Debian 12 image, for batch engines that run containers. The build
# context is a folder holding the one package that `cpack -G DEB` made (see the README,
# "Container image"); apt installs the run-time libraries that the package declares.
FROM debian:12-slim
COPY tabulon_*.deb /tmp/
RUN apt-get update \
 && apt-get install -y --no-install-recommends /tmp/tabulon_*.deb \
 && rm -rf /var/lib/apt/lists/* /tmp/tabulon_*.deb
ENTRYPOINT ["tabulon"]
