package app;

// Several threads calling methods at the same time.
public class Threads {
    public static void main(String[] args) throws InterruptedException {
        Thread[] threads = new Thread[4];
        for (int i = 0; i < threads.length; i++) {
            threads[i] = new Thread(new Worker(2000));
            threads[i].start();
        }
        for (Thread thread : threads) {
            thread.join();
        }
    }
}
