// A library that holds nothing but the window's resources (app.rc): the
// resource test loads it as data and asks Windows what it finds there.
