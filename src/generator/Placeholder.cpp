// Library target placeholder until its first unit lands.
