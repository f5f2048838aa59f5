// A program on the module path: its classes live in a named module.
module modapp {
}
