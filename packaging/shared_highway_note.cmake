# Run by cpack before it makes the packages of a build linked with the installed, shared Highway.
message(WARNING "These packages link Debian's shared Highway library, which measures a timer when it is "
  "loaded: every start of calstars2fp takes a few milliseconds longer than with Highway linked from "
  "source. For the faster packages, configure with -DCALSTARS2FP_HIGHWAY_SOURCE (docs/platforms.md, "
  "section \"Installing and packages\").")
