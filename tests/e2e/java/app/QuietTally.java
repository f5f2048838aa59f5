package app;

// A subclass the tests filter out: calls on its instances are not traced,
// although the methods are Tally's.
public class QuietTally extends Tally {
}
