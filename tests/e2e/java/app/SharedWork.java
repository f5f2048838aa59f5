package app;

// Instance-method-heavy work on several threads at once: each thread calls
// a tally of its own, one tally shared by all, and a shared quiet tally.
public class SharedWork {
    public static void main(String[] args) throws InterruptedException {
        int rounds = Integer.parseInt(args[0]);
        Tally shared = new Tally();
        Tally quiet = new QuietTally();
        Thread[] threads = new Thread[4];
        for (int t = 0; t < threads.length; t++) {
            threads[t] = new Thread(() -> {
                Tally own = new Tally();
                for (int i = 0; i < rounds; i++) {
                    own.add(i);
                    shared.addTwice(i);
                    quiet.add(i);
                }
                own.total();
            });
            threads[t].start();
        }
        for (Thread thread : threads) {
            thread.join();
        }
        System.out.println("total " + shared.total());
    }
}
