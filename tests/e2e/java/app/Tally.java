package app;

// A counter whose methods run on receivers shared between threads and on
// receivers of each thread's own.
public class Tally {
    private long total;

    public synchronized void add(int amount) {
        total += amount;
    }

    public void addTwice(int amount) {
        add(amount);
        add(amount);
    }

    public synchronized long total() {
        return total;
    }
}
