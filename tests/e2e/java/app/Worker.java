package app;

public class Worker implements Runnable {
    private final int rounds;
    private long sum;

    public Worker(int rounds) {
        this.rounds = rounds;
    }

    @Override
    public void run() {
        for (int i = 0; i < rounds; i++) {
            sum += step(i);
        }
    }

    int step(int i) {
        return twice(i) + 1;
    }

    int twice(int i) {
        return i * 2;
    }

    public long sum() {
        return sum;
    }
}
