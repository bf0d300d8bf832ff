/** A program outside the library that uses it as a module, the way an application would. */
module hopwarbler.consumer {
  requires quenlab.hopwarbler;
}
